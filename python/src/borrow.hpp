#pragma once

#include <atomic>

#include <nanobind/nanobind.h>

namespace tvdb::py {

// A per-object borrow flag: many shared borrows or one exclusive borrow. A conflicting
// borrow fails at once with RuntimeError instead of waiting, so a thread never blocks on an
// object another thread is using with the interpreter lock released.
class BorrowFlag {
public:
    // Readers: fails with "Already mutably borrowed" while an exclusive borrow is held.
    class Shared {
    public:
        explicit Shared(BorrowFlag& flag) : flag_(flag) {
            int state = flag_.state_.load();
            do {
                if (state < 0) throw std::runtime_error("Already mutably borrowed");
            } while (!flag_.state_.compare_exchange_weak(state, state + 1));
        }
        ~Shared() { flag_.state_.fetch_sub(1); }
        Shared(const Shared&) = delete;
        Shared& operator=(const Shared&) = delete;

    private:
        BorrowFlag& flag_;
    };

    // Writers: fails with "Already borrowed" while any other borrow is held.
    class Exclusive {
    public:
        explicit Exclusive(BorrowFlag& flag) : flag_(flag) {
            int expected = 0;
            if (!flag_.state_.compare_exchange_strong(expected, -1)) {
                throw std::runtime_error("Already borrowed");
            }
        }
        ~Exclusive() { flag_.state_.store(0); }
        Exclusive(const Exclusive&) = delete;
        Exclusive& operator=(const Exclusive&) = delete;

    private:
        BorrowFlag& flag_;
    };

private:
    // > 0: that many shared borrows; -1: one exclusive borrow.
    std::atomic<int> state_{0};
};

}  // namespace tvdb::py
