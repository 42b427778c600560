// Process-ending assertions that stay active in every build type.
//
// A violated internal precondition ends the process through the C library's
// standard assertion report: the failed expression as written, the source
// file, the line and the full signature of the function. The expression text
// is part of the library's behaviour (tests match it), so keep it exactly as
// documented at each call site. assertionTexts.txt beside this header lists
// every frozen text, and scripts/assertion-texts.py keeps it true.
#pragma once

#include <assert.h>  // NOLINT(modernize-deprecated-headers): __assert_fail

#define VOK_ASSERT(expr)           \
    ((expr) ? static_cast<void>(0) \
            : __assert_fail(#expr, __FILE_NAME__, __LINE__, __PRETTY_FUNCTION__))
