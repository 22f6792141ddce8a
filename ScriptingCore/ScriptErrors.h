// Errors that reach the page as script exceptions. Their text is what the
// page sees, so it is fixed wording.
#pragma once

#include <stdexcept>
#include <string>

namespace FB {

struct script_error : std::runtime_error {
  explicit script_error(const std::string& text) : std::runtime_error(text) {}
};

struct invalid_arguments : script_error {
  invalid_arguments() : script_error("Invalid Arguments") {}
  explicit invalid_arguments(const std::string& text) : script_error(text) {}
};

struct invalid_member : script_error {
  explicit invalid_member(const std::string& memberName)
      : script_error("The specified member does not exist: " + memberName) {}
};

struct object_invalidated : script_error {
  object_invalidated() : script_error("This object is no longer valid") {}
};

}  // namespace FB
