// The boundary between C++ and the interpreter: every entry point of both
// extension modules (functions, methods, constructors) is registered as
// guarded<F>, which runs F and turns any C++ exception that escapes it into
// a Python exception instead of letting it unwind into the interpreter
// (which terminates the process). std::bad_alloc becomes MemoryError, so a
// file or an input that needs more memory than the process may have fails
// like any Python allocation; any other exception becomes RuntimeError with
// its text.
//
// The guard needs the interpreter lock held when the exception reaches it:
// code that releases the lock catches around its own unlocked section.
// Deliberately not here: error values of the library (they are mapped where
// they are returned) and deallocators, which allocate nothing.
#pragma once

#include <Python.h>

#include <exception>
#include <new>
#include <type_traits>

namespace drux::native_guard {

// Sets the Python exception for the C++ exception being handled.
inline void set_python_error() noexcept {
  try {
    throw;
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& error) {
    PyErr_SetString(PyExc_RuntimeError, error.what());
  } catch (...) {
    PyErr_SetString(PyExc_RuntimeError, "unexpected C++ exception");
  }
}

template <auto F>
struct Guard;

template <class R, class... A, R (*F)(A...)>
struct Guard<F> {
  static R call(A... args) noexcept {
    try {
      return F(args...);
    } catch (...) {
      set_python_error();
    }
    if constexpr (std::is_pointer_v<R>) {
      return nullptr;
    } else {
      return -1;  // how tp_init and the other int slots report failure
    }
  }
};

}  // namespace drux::native_guard

namespace drux {

// The guarded form of entry point F, with F's own signature.
template <auto F>
inline constexpr auto guarded = &native_guard::Guard<F>::call;

}  // namespace drux
