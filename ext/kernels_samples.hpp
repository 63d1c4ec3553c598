// Complex arithmetic and read-only sample views for the simulated device's kernels.
//
// Every buffer comes from Python and is checked before a sample is read: a one-dimensional,
// contiguous buffer of complex doubles (numpy's complex128) of at most `kMaxSamples` samples.
// Anything else is refused with a Python exception naming the buffer; so is a sample that is not
// finite, by `require_finite` or by the kernel that reads it.
#pragma once

#include <Python.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "refs.hpp"

namespace varnok::kernels {

// The most samples per channel the device simulates: the longest package a circuit exports.
constexpr Py_ssize_t kMaxSamples = Py_ssize_t{1} << 24;

struct Complex {
  double re;
  double im;
};

inline Complex mul(Complex x, Complex y) {
  return {x.re * y.re - x.im * y.im, x.re * y.im + x.im * y.re};
}
inline Complex sub(Complex x, Complex y) {
  return {x.re - y.re, x.im - y.im};
}
inline Complex add(Complex x, Complex y) {
  return {x.re + y.re, x.im + y.im};
}
inline Complex conj(Complex x) {
  return {x.re, -x.im};
}
inline Complex scale(Complex x, double s) {
  return {x.re * s, x.im * s};
}

// A view of a buffer of complex doubles, held (and so kept alive at a fixed size) for as long as
// the view lives. A buffer that is not aligned for doubles (a view into raw bytes) is read from
// an aligned copy.
class ComplexSamples {
 public:
  ComplexSamples(PyObject* obj, const char* what) {
    if (!PyObject_CheckBuffer(obj)) {
      PyErr_Format(PyExc_TypeError, "%s must be a complex128 array, got %.200s", what,
                   Py_TYPE(obj)->tp_name);
      throw_error_set();
    }
    require_status(PyObject_GetBuffer(obj, &view_, PyBUF_RECORDS_RO));
    held_ = true;
    if (view_.ndim != 1) {
      PyErr_Format(PyExc_ValueError, "%s must be one-dimensional, got %d dimensions", what,
                   view_.ndim);
      throw_error_set();
    }
    if (view_.itemsize != 2 * static_cast<Py_ssize_t>(sizeof(double)) ||
        !complex_double(view_.format)) {
      PyErr_Format(PyExc_TypeError, "%s must hold complex128 samples, got format '%.20s'", what,
                   view_.format == nullptr ? "B" : view_.format);
      throw_error_set();
    }
    size_ = view_.shape[0];
    if (size_ > 1 && view_.strides != nullptr && view_.strides[0] != view_.itemsize) {
      PyErr_Format(PyExc_ValueError, "%s must be contiguous", what);
      throw_error_set();
    }
    if (size_ > kMaxSamples) {
      PyErr_Format(PyExc_ValueError, "%s has %zd samples, more than the %zd the device simulates",
                   what, size_, kMaxSamples);
      throw_error_set();
    }
    if (size_ == 0 || reinterpret_cast<std::uintptr_t>(view_.buf) % alignof(double) == 0) {
      data_ = static_cast<const double*>(view_.buf);
    } else {
      copy_.resize(2 * static_cast<std::size_t>(size_));
      std::memcpy(copy_.data(), view_.buf, copy_.size() * sizeof(double));
      data_ = copy_.data();
    }
  }
  ComplexSamples(const ComplexSamples&) = delete;
  ComplexSamples& operator=(const ComplexSamples&) = delete;
  ~ComplexSamples() {
    if (held_) {
      PyBuffer_Release(&view_);
    }
  }

  Py_ssize_t size() const { return size_; }
  Complex at(Py_ssize_t k) const { return {data_[2 * k], data_[2 * k + 1]}; }
  // Either part is nonzero (NaN included, as for numpy's `!= 0`): the bits of both parts but
  // their signs, in one test.
  bool nonzero(Py_ssize_t k) const {
    std::uint64_t re, im;
    std::memcpy(&re, data_ + 2 * k, sizeof re);
    std::memcpy(&im, data_ + 2 * k + 1, sizeof im);
    return ((re | im) << 1) != 0;
  }

  const double* data() const { return data_; }

  // Refuses the buffer unless all its samples are finite. A double is not finite when its
  // exponent bits are all set, and exactly then adding one to the exponent field carries into
  // the sign bit: integer operations only, which the compiler vectorises.
  void require_finite(const char* what) const {
    constexpr std::uint64_t exponent = 0x7ff0000000000000ULL;
    constexpr std::uint64_t exponent_one = 0x0010000000000000ULL;
    std::uint64_t carried = 0;
    for (Py_ssize_t i = 0; i < 2 * size_; ++i) {
      std::uint64_t bits;
      std::memcpy(&bits, data_ + i, sizeof bits);
      carried |= (bits & exponent) + exponent_one;
    }
    if (carried >> 63) {
      PyErr_Format(PyExc_ValueError, "%s holds a sample that is not finite", what);
      throw_error_set();
    }
  }

 private:
  static bool complex_double(const char* format) {
    if (format == nullptr) {
      return false;
    }
    // Native or explicitly native-endian complex doubles only.
    if (*format == '@' || *format == '=' || (*format == '<' && PY_LITTLE_ENDIAN) ||
        (*format == '>' && !PY_LITTLE_ENDIAN)) {
      ++format;
    }
    return std::strcmp(format, "Zd") == 0;
  }

  Py_buffer view_{};
  bool held_ = false;
  const double* data_ = nullptr;
  Py_ssize_t size_ = 0;
  std::vector<double> copy_;
};

}  // namespace varnok::kernels
