#include "Tavrix.h"

#include <BrowserHost.h>

#include <memory>

#include "TavrixAPI.h"

void Tavrix::StaticInitialize() {}
void Tavrix::StaticDeinitialize() {}

Tavrix::Tavrix() = default;

Tavrix::~Tavrix() {
  // The script object goes first, then what the host kept alive for the
  // page; the page may still hold wrappers, which then answer nothing.
  m_api.reset();
  if (m_host) m_host->freeRetainedObjects();
}

namespace {
template <class E, class F>
bool Dispatch(FB::PluginEvent* event, FB::PluginWindow* win, bool* handled,
              F handler) {
  E* e = dynamic_cast<E*>(event);
  if (!e) return false;
  *handled = handler(e, win);
  return true;
}
}  // namespace

bool Tavrix::HandleEvent(FB::PluginEvent* event,
                         FB::PluginEventSource* source) {
  auto* win = dynamic_cast<FB::PluginWindow*>(source);
  if (!win || !event) return false;
  bool handled = false;
  Dispatch<FB::MouseDownEvent>(
      event, win, &handled,
      [this](auto* e, auto* w) { return onMouseDown(e, w); }) ||
      Dispatch<FB::MouseUpEvent>(
          event, win, &handled,
          [this](auto* e, auto* w) { return onMouseUp(e, w); }) ||
      Dispatch<FB::MouseMoveEvent>(
          event, win, &handled,
          [this](auto* e, auto* w) { return onMouseMove(e, w); }) ||
      Dispatch<FB::AttachedEvent>(
          event, win, &handled,
          [this](auto* e, auto* w) { return onWindowAttached(e, w); }) ||
      Dispatch<FB::DetachedEvent>(
          event, win, &handled,
          [this](auto* e, auto* w) { return onWindowDetached(e, w); });
  return handled;
}

void Tavrix::onPluginReady() {}
void Tavrix::shutdown() {}

FB::JSAPIPtr Tavrix::createJSAPI() {
  return std::make_shared<TavrixAPI>(
      std::static_pointer_cast<Tavrix>(shared_from_this()), m_host);
}

bool Tavrix::onMouseDown(FB::MouseDownEvent*, FB::PluginWindow*) {
  return false;
}
bool Tavrix::onMouseUp(FB::MouseUpEvent*, FB::PluginWindow*) { return false; }
bool Tavrix::onMouseMove(FB::MouseMoveEvent*, FB::PluginWindow*) {
  return false;
}
bool Tavrix::onWindowAttached(FB::AttachedEvent*, FB::PluginWindow*) {
  return false;
}
bool Tavrix::onWindowDetached(FB::DetachedEvent*, FB::PluginWindow*) {
  return false;
}
