// Export control for the classes and functions a host binds to.
// Inside the library (and the tests, which link its objects) the symbols are exported; a host that
// includes these headers imports them from QarSldwInterface_x64.dll.
#pragma once

#if defined(QAR_BUILDING_LIBRARY)
#define QAR_API __declspec(dllexport)
#else
#define QAR_API __declspec(dllimport)
#endif
