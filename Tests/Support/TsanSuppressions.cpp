// ThreadSanitizer reads these when the tests are built with it (`make tsan`); otherwise the
// function is never called.
//
// Both entries are synchronisation that ThreadSanitizer cannot see, not races:
// - Boost.Asio drops its last reference with a release decrement followed by an acquire
//   fence, and ThreadSanitizer does not model fences (g++ warns so under -Wtsan).
// - std::exception_ptr counts its references with atomics inside the uninstrumented
//   libstdc++, so an exception handed from a pool thread to a waiting thread looks unguarded.

extern "C" __attribute__((visibility("default"), used)) const char* __tsan_default_suppressions() {
    return "race:boost::asio::detail::ref_count_down\n"
           "race:std::__exception_ptr::exception_ptr::_M_release\n";
}
