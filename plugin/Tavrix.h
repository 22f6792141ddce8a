// The plug-in object of one embedded element. It draws nothing and takes no
// input: it exists to carry the page's script object (TavrixAPI).
#pragma once

#include <PluginCore.h>
#include <PluginEvents.h>

class Tavrix : public FB::PluginCore {
 public:
  static void StaticInitialize();
  static void StaticDeinitialize();

  Tavrix();
  ~Tavrix() override;

  bool HandleEvent(FB::PluginEvent* event,
                   FB::PluginEventSource* source) override;
  void onPluginReady() override;
  void shutdown() override;
  FB::JSAPIPtr createJSAPI() override;
  bool isWindowless() override { return false; }

  virtual bool onMouseDown(FB::MouseDownEvent* evt, FB::PluginWindow* win);
  virtual bool onMouseUp(FB::MouseUpEvent* evt, FB::PluginWindow* win);
  virtual bool onMouseMove(FB::MouseMoveEvent* evt, FB::PluginWindow* win);
  virtual bool onWindowAttached(FB::AttachedEvent* evt, FB::PluginWindow* win);
  virtual bool onWindowDetached(FB::DetachedEvent* evt, FB::PluginWindow* win);
};
