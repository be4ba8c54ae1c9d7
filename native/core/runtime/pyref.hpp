// Small RAII wrappers around the CPython C API.
#pragma once

#ifndef PY_SSIZE_T_CLEAN
#define PY_SSIZE_T_CLEAN
#endif
#include <Python.h>

#include <utility>

namespace morvane::rt {

// An owned (strong) reference; null means "none held". Destroy only with
// the interpreter lock held.
class Ref {
public:
    Ref() = default;
    explicit Ref(PyObject *owned) : p_(owned) {}
    static Ref borrow(PyObject *o) { return Ref(Py_XNewRef(o)); }
    Ref(const Ref &) = delete;
    Ref &operator=(const Ref &) = delete;
    Ref(Ref &&o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    Ref &operator=(Ref &&o) noexcept {
        if (this != &o) {
            Py_XDECREF(p_);
            p_ = std::exchange(o.p_, nullptr);
        }
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

    PyObject *get() const { return p_; }
    PyObject *release() { return std::exchange(p_, nullptr); }
    void reset(PyObject *owned = nullptr) {
        PyObject *old = p_;
        p_ = owned;
        Py_XDECREF(old);
    }
    explicit operator bool() const { return p_ != nullptr; }

private:
    PyObject *p_ = nullptr;
};

// Releases the interpreter lock for a scope and takes it back. `reacquire`
// ends the released section early (idempotent).
class GilRelease {
public:
    GilRelease() : state_(PyEval_SaveThread()) {}
    GilRelease(const GilRelease &) = delete;
    GilRelease &operator=(const GilRelease &) = delete;
    ~GilRelease() { reacquire(); }
    void reacquire() {
        if (state_ != nullptr) PyEval_RestoreThread(std::exchange(state_, nullptr));
    }

private:
    PyThreadState *state_;
};

// Saves the pending exception and restores it at scope end.
class ErrorStash {
public:
    ErrorStash() { PyErr_Fetch(&type_, &value_, &tb_); }
    ErrorStash(const ErrorStash &) = delete;
    ErrorStash &operator=(const ErrorStash &) = delete;
    ~ErrorStash() { PyErr_Restore(type_, value_, tb_); }

private:
    PyObject *type_ = nullptr, *value_ = nullptr, *tb_ = nullptr;
};

} // namespace morvane::rt
