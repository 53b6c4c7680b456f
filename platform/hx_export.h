// Symbol visibility. Everything is built with -fvisibility=hidden; only what is
// marked here is part of a shared library's interface.
#pragma once

#define HX_EXPORT __attribute__((visibility("default")))   // the system library
#define HXP_EXPORT __attribute__((visibility("default")))  // the platform library
