// The script object a page sees on the embedded element. Each crypto member
// runs one controller operation with the page's arguments and hands back the
// controller's string; signing calls share one certificate and key cache per
// object, so a page signing twice opens the key once.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "BrowserHost.h"
#include "JSAPIAuto.h"

class Tavrix;
class TmpCertArhive;

class TavrixAPI : public FB::JSAPIAuto {
 public:
  TavrixAPI(const std::shared_ptr<Tavrix>& plugin,
            const FB::BrowserHostPtr& host);
  ~TavrixAPI() override;

  // The owning plug-in object; script_error "The plugin is invalid" once it
  // is gone.
  std::shared_ptr<Tavrix> getPlugin();

  // ---- published members
  FB::variant echo(const FB::variant& msg);
  void testEvent();
  std::string Sign(const std::string& text, const std::string& certName,
                   long flags, const std::string& params);
  std::string SignFileWeb(const std::string& path, const std::string& certName,
                          long flags, const std::string& params);
  std::string SelectCertificate(const std::string& name,
                                const std::string& params);
  std::string GetVersion();
  std::string DownloadFile(const std::string& url);
  std::string TestCades();
  void DeleteArchive();
  std::string Hash(const std::string& text, const std::string& certName,
                   long flags);
  std::string HashFile(const std::string& path, const std::string& certName,
                       long flags);
  std::string get_testString();
  void set_testString(const std::string& value);
  std::string get_version();

  // ---- not published to pages
  void CreateCertArchive();
  // The cache of this object, null before the first signing call.
  const TmpCertArhive* Archive() const { return archive.get(); }

 private:
  std::weak_ptr<Tavrix> plugin;
  FB::BrowserHostPtr host;
  std::string testString;
  std::unique_ptr<TmpCertArhive> archive;

  // Calls of "echo" over every object of the process.
  static std::atomic<int32_t> echoCount;
};
