// VURN_API marks the declarations the shared libvurn exports. The library is built with hidden
// visibility, so only these are part of its interface.
#pragma once

#if defined(__GNUC__)
#define VURN_API __attribute__((visibility("default")))
#else
#define VURN_API
#endif
