// Compiling part of the cipher for instructions the baseline processor may lack. Everything between
// VURN_TARGET_BEGIN("features") and VURN_TARGET_END is compiled for those features, functions of
// templates instantiated there included, so a layer names its target once; that code runs only
// after the dispatch has found the features at run time. Include every header with code used
// elsewhere before the begin: an inline function first seen inside would be compiled for the
// features, and the linker could pick that copy for callers on any processor.
#pragma once

#include <cstddef>
#include <cstdint>

#include "aes_impl.h"
#include "aes_key_schedule.h"

#define VURN_PRAGMA(text) _Pragma(#text)
#if defined(__clang__)
#define VURN_TARGET_BEGIN(features) \
  VURN_PRAGMA(clang attribute push(__attribute__((target(features))), apply_to = function))
#define VURN_TARGET_END VURN_PRAGMA(clang attribute pop)
#else
#define VURN_TARGET_BEGIN(features) VURN_PRAGMA(GCC push_options) VURN_PRAGMA(GCC target(features))
#define VURN_TARGET_END VURN_PRAGMA(GCC pop_options)
#endif
