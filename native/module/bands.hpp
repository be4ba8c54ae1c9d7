// Work in bands on the filters' own threads, cancellable by a signal.
//
// A call is split into bands (ranges of rows or planes). Worker threads take
// bands in order from a shared counter. The calling thread waits without the
// interpreter lock and wakes a few times a second to run Python's signal
// handlers; when one raises (Ctrl-C gives KeyboardInterrupt) the cancel flag
// is set, the workers stop at their next check, every thread is joined and
// the exception is returned to the caller. Work done so far is discarded by
// the caller.
#pragma once

#ifndef PY_SSIZE_T_CLEAN
#define PY_SSIZE_T_CLEAN
#endif
#include <Python.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace morvane::filters {

// How often a waiting or working calling thread looks at signals.
constexpr std::chrono::milliseconds kSignalPoll{50};

class Bands {
public:
    // job(band) returns 0, or -1 after calling fail() with the interpreter
    // lock held and a Python exception set.
    using Job = std::function<int(Py_ssize_t band)>;

    Bands(Py_ssize_t count, int threads) : count_(count), threads_(threads < 1 ? 1 : threads) {
        if (threads_ > count_) threads_ = static_cast<int>(count_ < 1 ? 1 : count_);
    }

    bool cancelled() const { return cancel_.load(std::memory_order_relaxed); }
    const std::atomic<bool> &cancel_flag() const { return cancel_; }

    // Moves the pending exception of the calling thread (which holds the
    // interpreter lock) to the caller of run(); the first failure wins.
    void fail() {
        PyObject *type, *value, *tb;
        PyErr_Fetch(&type, &value, &tb);
        std::lock_guard<std::mutex> hold(mutex_);
        if (error_type_ == nullptr) {
            error_type_ = type;
            error_value_ = value;
            error_tb_ = tb;
        } else {
            Py_XDECREF(type);
            Py_XDECREF(value);
            Py_XDECREF(tb);
        }
        cancel_.store(true);
    }

    // Runs every band on worker threads while the calling thread (holding
    // the interpreter lock) waits and checks signals. `progress`, if not
    // null, is called as progress(done, total) from the calling thread.
    // Returns 0, or -1 with an exception set.
    int run_threaded(const Job &job, PyObject *progress = nullptr) {
        std::vector<std::thread> workers;
        PyThreadState *saved = PyEval_SaveThread();
        try {
            for (int t = 0; t < threads_; ++t) workers.emplace_back([this, &job] { work(job); });
        } catch (...) {
            cancel_.store(true);
            for (auto &w : workers) w.join();
            PyEval_RestoreThread(saved);
            PyErr_SetString(PyExc_RuntimeError, "cannot start the filter's threads");
            return -1;
        }
        Py_ssize_t reported = -1;
        for (;;) {
            bool finished;
            {
                std::unique_lock<std::mutex> hold(mutex_);
                finished = done_wait(hold);
            }
            PyEval_RestoreThread(saved);
            const Py_ssize_t done = done_.load();
            if (!cancelled()) {
                if (PyErr_CheckSignals() < 0) {
                    fail();
                } else if (progress != nullptr && done != reported) {
                    reported = done;
                    PyObject *r = PyObject_CallFunction(progress, "nn", done, count_);
                    if (r == nullptr) fail();
                    Py_XDECREF(r);
                }
            }
            saved = PyEval_SaveThread();
            if (finished) break;
        }
        for (auto &w : workers) w.join();
        PyEval_RestoreThread(saved);
        return finish();
    }

    // Runs every band on the calling thread (which holds the interpreter
    // lock), for jobs that release the lock themselves and call poll()
    // between short steps. Returns 0, or -1 with an exception set.
    int run_inline(const Job &job) {
        for (Py_ssize_t b = 0; b < count_ && !cancelled(); ++b) {
            if (job(b) < 0) break;
            done_.fetch_add(1);
        }
        return finish();
    }

    // For a job on the calling thread without the interpreter lock: every
    // kSignalPoll, takes the lock (from `state`, the thread state the job
    // saved) and runs the signal handlers. Returns false once cancelled.
    bool poll(PyThreadState *state) {
        const auto now = std::chrono::steady_clock::now();
        if (now - last_poll_ < kSignalPoll) return !cancelled();
        last_poll_ = now;
        PyEval_RestoreThread(state);
        if (PyErr_CheckSignals() < 0) fail();
        PyEval_SaveThread();
        return !cancelled();
    }

    Py_ssize_t count() const { return count_; }
    int threads() const { return threads_; }

private:
    void work(const Job &job) {
        for (;;) {
            if (cancelled()) break;
            const Py_ssize_t b = next_.fetch_add(1);
            if (b >= count_) break;
            if (job(b) < 0) break;
            done_.fetch_add(1);
        }
        std::lock_guard<std::mutex> hold(mutex_);
        ++finished_;
        wake_.notify_all();
    }

    // Waits up to one poll interval; true once every worker has finished.
    bool done_wait(std::unique_lock<std::mutex> &hold) {
        wake_.wait_for(hold, kSignalPoll, [this] { return finished_ == threads_; });
        return finished_ == threads_;
    }

    int finish() {
        if (error_type_ != nullptr) {
            PyErr_Restore(error_type_, error_value_, error_tb_);
            error_type_ = error_value_ = error_tb_ = nullptr;
            return -1;
        }
        return 0;
    }

    Py_ssize_t count_;
    int threads_;
    std::atomic<Py_ssize_t> next_{0}, done_{0};
    std::atomic<bool> cancel_{false};
    std::mutex mutex_;
    std::condition_variable wake_;
    int finished_ = 0;
    std::chrono::steady_clock::time_point last_poll_ = std::chrono::steady_clock::now();
    PyObject *error_type_ = nullptr, *error_value_ = nullptr, *error_tb_ = nullptr;
};

} // namespace morvane::filters
