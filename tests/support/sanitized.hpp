// Whether this build runs under a sanitizer: slower, and freed memory is held back to catch
// misuse, so resident sizes say nothing there.
#pragma once

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define CARVALEN_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define CARVALEN_SANITIZED 1
#endif
#endif

namespace carvalen::test {
#ifdef CARVALEN_SANITIZED
inline constexpr bool kSanitized = true;
#else
inline constexpr bool kSanitized = false;
#endif
}  // namespace carvalen::test
