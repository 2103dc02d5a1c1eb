#pragma once

// The deformation core is exported from the product DLL under its scoped C++
// names, so that other tools can call the same rules the plug-in uses.
#if defined(_WIN32) && defined(BW_BUILDING_DLL)
#define DENT_API __declspec(dllexport)
#elif defined(__GNUC__)
#define DENT_API __attribute__((visibility("default")))
#else
#define DENT_API
#endif
