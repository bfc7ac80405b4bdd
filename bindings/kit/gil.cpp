#include "kit/gil.hpp"

#include <atomic>
#include <chrono>

#include "pythread.h"

namespace kit {

namespace {

/// The thread state this thread gave up in without_gil(), if any.
thread_local PyThreadState* t_released = nullptr;
/// When this thread last took the lock back to check for signals.
thread_local std::chrono::steady_clock::time_point t_last_check{};

/// Python's main thread, the only one on which signal handlers run; 0 when
/// unknown (every thread then checks).
std::atomic<unsigned long> g_signal_thread{0};

/// Taking the lock back waits for whichever thread holds it (up to the
/// interpreter's switch interval), so a released caller checks this often at
/// most: Ctrl-C still answers at once to the eye.
constexpr std::chrono::milliseconds kCheckInterval{20};

bool checked_with_lock() noexcept { return PyErr_CheckSignals() != 0; }

}  // namespace

GilReleased::GilReleased() noexcept : saved_(PyEval_SaveThread()) { t_released = saved_; }

GilReleased::~GilReleased() {
  t_released = nullptr;
  PyEval_RestoreThread(saved_);
}

bool signal_pending() noexcept {
  if (t_released == nullptr) return checked_with_lock();
  const unsigned long main = g_signal_thread.load(std::memory_order_relaxed);
  if (main != 0 && PyThread_get_thread_ident() != main) return false;
  const auto now = std::chrono::steady_clock::now();
  if (now - t_last_check < kCheckInterval) return false;
  t_last_check = now;
  PyEval_RestoreThread(t_released);
  const bool stop = checked_with_lock();
  t_released = PyEval_SaveThread();
  return stop;
}

void note_signal_thread() {
  PyObject* threading = PyImport_ImportModule("threading");
  PyObject* main = threading ? PyObject_CallMethod(threading, "main_thread", nullptr) : nullptr;
  PyObject* ident = main ? PyObject_GetAttrString(main, "ident") : nullptr;
  const unsigned long id = ident ? PyLong_AsUnsignedLong(ident) : 0;
  Py_XDECREF(ident);
  Py_XDECREF(main);
  Py_XDECREF(threading);
  if (PyErr_Occurred()) {
    // Unknown: every released thread takes the lock back to check.
    PyErr_Clear();
    return;
  }
  g_signal_thread.store(id, std::memory_order_relaxed);
}

}  // namespace kit
