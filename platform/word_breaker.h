// platform/word_breaker.h: the ICU word break iterator that the tagger and the sentence embedder
// both cut text with, one per thread.
#pragma once

#include <unicode/brkiter.h>

namespace nodrel::platform {

// This thread's word break iterator for the root locale, or null when ICU cannot make one. It is
// costly to create and cheap to reset, so it is made once a thread and reused; the caller sets
// its text and must not delete it.
icu::BreakIterator* threadWordBreaker();

}  // namespace nodrel::platform
