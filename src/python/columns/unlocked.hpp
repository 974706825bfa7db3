#pragma once
// The interpreter lock let go for a stretch of native work, and taken back for a call into Python
// within it.

#include "python/ref.hpp"

namespace python::columns {

// Lets the lock go while it lives.
class Unlocked {
public:
    Unlocked() noexcept : state_(PyEval_SaveThread()) {}
    ~Unlocked() { PyEval_RestoreThread(state_); }
    Unlocked(const Unlocked&) = delete;
    Unlocked& operator=(const Unlocked&) = delete;

    // Holds the lock while it lives, within the stretch.
    class Relocked {
    public:
        explicit Relocked(Unlocked& unlocked) noexcept : unlocked_(unlocked) { PyEval_RestoreThread(unlocked.state_); }
        ~Relocked() { unlocked_.state_ = PyEval_SaveThread(); }
        Relocked(const Relocked&) = delete;
        Relocked& operator=(const Relocked&) = delete;

    private:
        Unlocked& unlocked_;
    };

private:
    PyThreadState* state_;
};

}  // namespace python::columns
