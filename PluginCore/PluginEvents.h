// Events the browser layer sends to a plug-in object, and the objects that
// send them. The plug-in here draws nothing, so only the event types it
// dispatches on are given.
#pragma once

#include <memory>

namespace FB {

class PluginEvent {
 public:
  virtual ~PluginEvent() = default;
};

class MouseEvent : public PluginEvent {
 public:
  MouseEvent(int x = 0, int y = 0) : m_x(x), m_y(y) {}
  int m_x, m_y;
};
class MouseDownEvent : public MouseEvent {
  using MouseEvent::MouseEvent;
};
class MouseUpEvent : public MouseEvent {
  using MouseEvent::MouseEvent;
};
class MouseMoveEvent : public MouseEvent {
  using MouseEvent::MouseEvent;
};
class AttachedEvent : public PluginEvent {};
class DetachedEvent : public PluginEvent {};

class PluginEventSource {
 public:
  virtual ~PluginEventSource() = default;
};

// A window the plug-in was given by the browser.
class PluginWindow : public PluginEventSource {};

class PluginEventSink {
 public:
  virtual ~PluginEventSink() = default;
  // True when the event was handled.
  virtual bool HandleEvent(PluginEvent* event, PluginEventSource* source) = 0;
};

}  // namespace FB
