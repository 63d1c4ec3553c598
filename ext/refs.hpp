// Reference ownership and the error convention shared by every file of the extension.
//
// Ownership rules:
//  * A function that returns a new reference returns `Ref`; `Ref` releases it exactly once.
//  * Plain `PyObject*` parameters and results are borrowed; whoever holds a borrowed pointer must
//    not call back into Python while relying on it, unless an owner keeps it alive (a callee may
//    delete the container the pointer came from). Take a `Ref::borrow` first.
//
// Error convention: a C API call that fails leaves a Python error set; `require` turns that into
// a thrown `PyErrorSet`, which only the entry points (slots, methods, getters) catch, returning
// the failure value the interpreter expects. So inside the extension "a C++ exception means the
// Python error is already set", and no path has to unwind references by hand.
#pragma once

#include <Python.h>

#include <cstddef>
#include <new>
#include <utility>

#if defined(__linux__)
#include <pthread.h>
#endif

namespace varnok {

struct PyErrorSet {};

class Ref {
 public:
  Ref() noexcept = default;
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  Ref(Ref&& other) noexcept : obj_(other.obj_) { other.obj_ = nullptr; }
  Ref& operator=(Ref&& other) noexcept {
    if (this != &other) {
      PyObject* old = obj_;
      obj_ = other.obj_;
      other.obj_ = nullptr;
      Py_XDECREF(old);
    }
    return *this;
  }
  ~Ref() { Py_XDECREF(obj_); }

  // Takes over a new reference (which may be null: check with `require`).
  static Ref steal(PyObject* obj) noexcept { return Ref(obj); }
  // Adds a reference to a borrowed object so it survives calls back into Python.
  static Ref borrow(PyObject* obj) noexcept {
    Py_XINCREF(obj);
    return Ref(obj);
  }

  PyObject* get() const noexcept { return obj_; }
  explicit operator bool() const noexcept { return obj_ != nullptr; }
  // Hands the reference to a caller that steals it (a return value, PyList_SET_ITEM, ...).
  PyObject* release() noexcept {
    PyObject* obj = obj_;
    obj_ = nullptr;
    return obj;
  }

 private:
  explicit Ref(PyObject* obj) noexcept : obj_(obj) {}
  PyObject* obj_ = nullptr;
};

[[noreturn]] inline void throw_error_set() {
  throw PyErrorSet{};
}

// A new reference from the C API: null means the Python error is set.
inline Ref require(PyObject* new_ref) {
  if (new_ref == nullptr) {
    throw_error_set();
  }
  return Ref::steal(new_ref);
}

// A status code from the C API: negative means the Python error is set.
inline int require_status(int status) {
  if (status < 0) {
    throw_error_set();
  }
  return status;
}

// Sets a Python exception and unwinds to the entry point.
[[noreturn]] inline void raise(PyObject* type, const char* message) {
  PyErr_SetString(type, message);
  throw_error_set();
}

// Raises `type` with an already built message object (any object; usually text).
[[noreturn]] inline void raise_object(PyObject* type, PyObject* message) {
  PyErr_SetObject(type, message);
  throw_error_set();
}

// Holds the pending Python error aside (normalised) while other calls are made, and puts it back
// when `restore` is called or the holder goes away.
class SavedError {
 public:
  SavedError() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    value_ = PyErr_GetRaisedException();
#else
    PyErr_Fetch(&type_, &value_, &traceback_);
    PyErr_NormalizeException(&type_, &value_, &traceback_);
    if (value_ != nullptr && traceback_ != nullptr) {
      PyException_SetTraceback(value_, traceback_);
    }
#endif
  }
  SavedError(const SavedError&) = delete;
  SavedError& operator=(const SavedError&) = delete;
  ~SavedError() { restore(); }

  PyObject* value() const noexcept { return value_; }
  // Drops the saved error for good.
  void discard() noexcept {
#if PY_VERSION_HEX < 0x030C0000
    Py_CLEAR(type_);
    Py_CLEAR(traceback_);
#endif
    Py_CLEAR(value_);
  }
  void restore() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    if (value_ != nullptr) {
      PyErr_SetRaisedException(value_);
      value_ = nullptr;
    }
#else
    if (type_ != nullptr) {
      PyErr_Restore(type_, value_, traceback_);
      type_ = value_ = traceback_ = nullptr;
    }
#endif
  }

 private:
#if PY_VERSION_HEX < 0x030C0000
  PyObject* type_ = nullptr;
  PyObject* traceback_ = nullptr;
#endif
  PyObject* value_ = nullptr;
};

// Adds a note (PEP 678) to the pending exception, which then stays pending; a failure to add the
// note is dropped so that the original error is what propagates.
inline void add_note_to_pending(PyObject* note) noexcept {
  SavedError pending;
  if (pending.value() != nullptr && note != nullptr) {
    PyObject* added = PyObject_CallMethod(pending.value(), "add_note", "O", note);
    if (added == nullptr) {
      PyErr_Clear();
    }
    Py_XDECREF(added);
  }
}

// The lowest stack address this thread may reach before the engine refuses to go deeper, or
// null when the stack bounds are unknown.
inline char* stack_floor() noexcept {
  thread_local char* floor = nullptr;
  thread_local bool known = false;
  if (!known) {
    known = true;
#if defined(__linux__)
    pthread_attr_t attributes;
    if (pthread_getattr_np(pthread_self(), &attributes) == 0) {
      void* base = nullptr;
      std::size_t size = 0;
      if (pthread_attr_getstack(&attributes, &base, &size) == 0 && base != nullptr) {
        // Keep a reserve for the interpreter's own frames below the deepest engine call.
        std::size_t reserve = size / 4 < 256 * 1024 ? size / 4 : 256 * 1024;
        floor = static_cast<char*>(base) + reserve;
      }
      pthread_attr_destroy(&attributes);
    }
#endif
  }
  return floor;
}

// Callbacks and collaborators may call back into the engine without bound (a callback that
// runs the experiment again, say). Every pass through the engine costs C stack, which the
// interpreter's recursion limit does not measure once it is raised, so the engine checks the
// stack itself and raises RecursionError while there is still room to unwind.
inline void ensure_stack_headroom() {
  char* floor = stack_floor();
  if (floor != nullptr && static_cast<char*>(__builtin_frame_address(0)) < floor) {
    raise(PyExc_RecursionError, "maximum recursion depth exceeded in the experiment engine");
  }
}

// Runs one entry point's body and maps C++ failures onto the interpreter's conventions; `fail`
// is what the entry point returns on error (nullptr or -1).
template <typename Result, typename Body>
Result guarded(Result fail, Body&& body) noexcept {
  try {
    ensure_stack_headroom();
    return body();
  } catch (const PyErrorSet&) {
    return fail;
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    return fail;
  } catch (...) {
    PyErr_SetString(PyExc_SystemError, "unexpected internal failure in the experiment engine");
    return fail;
  }
}

}  // namespace varnok
