// The windows show what the operator layer decides, and use its names (the menu items,
// the texts, the help contexts) as their own.
#pragma once

namespace kassiro::op {}

namespace kassiro::ui {
using namespace kassiro::op;
}  // namespace kassiro::ui
