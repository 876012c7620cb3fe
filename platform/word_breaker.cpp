#include "platform/word_breaker.h"

#include <memory>

#include <unicode/locid.h>

namespace nodrel::platform {

icu::BreakIterator* threadWordBreaker() {
  thread_local std::unique_ptr<icu::BreakIterator> iterator = [] {
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::BreakIterator> it(
        icu::BreakIterator::createWordInstance(icu::Locale::getRoot(), status));
    if (U_FAILURE(status)) it.reset();
    return it;
  }();
  return iterator.get();
}

}  // namespace nodrel::platform
