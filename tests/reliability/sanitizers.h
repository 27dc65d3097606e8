// Whether this build runs under a sanitizer, whose allocator keeps freed
// memory in quarantine and whose shadow memory grows with use: resident
// memory then says nothing about what the library keeps.
#pragma once

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define CONNWALK_TEST_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) || \
    __has_feature(memory_sanitizer)
#define CONNWALK_TEST_SANITIZED 1
#endif
#endif

#if defined(__SANITIZE_ADDRESS__)
#define CONNWALK_TEST_LEAK_CHECKED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(leak_sanitizer)
#define CONNWALK_TEST_LEAK_CHECKED 1
#endif
#endif

namespace connwalk::testing {

#ifdef CONNWALK_TEST_SANITIZED
inline constexpr bool kSanitized = true;
#else
inline constexpr bool kSanitized = false;
#endif

}  // namespace connwalk::testing
