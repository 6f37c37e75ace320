// Ids of the user-facing messages in the library's string table (resources/strings.rc). Plain macros
// so that the resource compiler can read them too. Each text is a printf-style format; the comment
// gives its conversions in order.
#pragma once

#include "sldw/layer.h"

#define IDS_START_FAILED 5500          // %s application name, %s error text
#define IDS_LOAD_ADDIN_FAILED 5501     // %s add-in module
#define IDS_GET_FAILED 5502            // %s add-in ProgID
#define IDS_DOCUMENT_COUNT_ERROR 5510  // %s
#define IDS_OPEN_FAILED 5511           // no conversions
#define IDS_CLOSE_FAILED 5512          // %s error text
#define IDS_SAVE_FAILED 5513           // %s error text
#define IDS_DEPENDENCIES_FAILED 5514   // %s error text
#define IDS_BUSY_TIMEOUT 5515          // %s seconds the application stayed busy
