#pragma once

// The library is built with hidden visibility; only what carries this mark is exported.
#if defined(KWSECURITY_BUILDING_SHARED)
#define KW_SECURITY_EXPORT __attribute__((visibility("default")))
#else
#define KW_SECURITY_EXPORT
#endif
