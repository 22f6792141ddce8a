// A page with the plug-in embedded, on the test browser host, and the checks
// every test ends with: each object and byte the plug-in took from the
// browser given back, and no call the browser would have refused.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "testhost.h"

namespace npapi_test {

using testhost::Args;
using testhost::Result;
using testhost::Value;
using Params = std::vector<std::pair<std::string, std::optional<std::string>>>;

extern const char kMime[];

// The subject of the signing certificate installed for this program.
extern const char kSigner[];
// Makes and installs that certificate (once per process).
void InstallSigner();

class PageTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  // A new element on the page; the test fails when NPP_New does.
  testhost::Instance& Embed(const Params& params = {});
  // Runs `steps` create / call / destroy cycles.
  void Cycle(int steps);
  // Loads the plug-in: the built library by default.
  virtual bool Load(std::string* error);

  testhost::Browser browser;
  std::vector<std::unique_ptr<testhost::Instance>> elements;
};

// The exception text of a failed operation, or "ok: " + the value.
std::string Outcome(const Result& r);

}  // namespace npapi_test
