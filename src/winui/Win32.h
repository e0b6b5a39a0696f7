// <windows.h> for the view's files, without the macros that collide with the operator
// layer's names (WinHelp's HELP_CONTENTS is the help context of "&Help" here).
#pragma once

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#undef HELP_CONTENTS
