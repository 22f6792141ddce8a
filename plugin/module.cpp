#include "TavrixCtrl.h"

namespace {
__attribute__((used)) std::string (*const kVersion)() = &TavrixCtrl::GetVersion;
}
