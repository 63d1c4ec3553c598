// Every driven sample is an exact SU(2) rotation, held as the pair (a, b) of
// U = [[a, -conj(b)], [b, conj(a)]]; for a sample with half angle w (drive times scaled carrier)
// a = cos|w| and b = sin|w| / |w| * w. The rotations of a pulse are multiplied out as the samples
// come, in one pass, and the density matrix is touched only where a pulse ends or a readout
// starts; between those, the qubit relaxes. These are the numbers of the device's model in
// varnok_client.sim, operation for operation where the model spells them out.
#include "kernels_propagate.hpp"

#include <cfloat>
#include <cmath>
#include <vector>

#include "kernels_samples.hpp"

namespace varnok::kernels {
namespace {

// Lets other threads run while a long package is propagated; the buffers stay exported (and so
// alive and of fixed size) throughout, and nothing in the loop touches a Python object.
class WithoutGil {
 public:
  explicit WithoutGil(bool release) : state_(release ? PyEval_SaveThread() : nullptr) {}
  WithoutGil(const WithoutGil&) = delete;
  WithoutGil& operator=(const WithoutGil&) = delete;
  ~WithoutGil() {
    if (state_ != nullptr) {
      PyEval_RestoreThread(state_);
    }
  }

 private:
  PyThreadState* state_;
};

// Packages at least this long are propagated without the GIL; shorter ones take a few
// microseconds, less than handing the GIL over costs.
constexpr Py_ssize_t kReleaseGilSamples = Py_ssize_t{1} << 16;

// A readout pulse starts at `k`: a nonzero sample after a zero one (or at the start).
inline bool read_starts_at(const ComplexSamples& readout, Py_ssize_t k) {
  return readout.nonzero(k) && (k == 0 || !readout.nonzero(k - 1));
}

// cos(x) and sin(x)/x from x^2 by their Taylor series to x^12, exact to rounding up to |x| = 1/4
// (the first term left out is below 1e-19); a real drive turns the qubit by milliradians a
// sample. Larger angles go to the library functions.
constexpr double kSeriesLimit = 0.0625;

// The coefficients of both series in x^2, highest power first.
constexpr int kSeriesTerms = 7;
constexpr double kCosTerms[kSeriesTerms] = {
    1.0 / 479001600, -1.0 / 3628800, 1.0 / 40320, -1.0 / 720, 1.0 / 24, -1.0 / 2, 1.0};
constexpr double kSincTerms[kSeriesTerms] = {
    1.0 / 6227020800, -1.0 / 39916800, 1.0 / 362880, -1.0 / 5040, 1.0 / 120, -1.0 / 6, 1.0};

inline double series(const double (&terms)[kSeriesTerms], double x2) {
  double sum = terms[0];
  for (int i = 1; i < kSeriesTerms; ++i) {
    sum = sum * x2 + terms[i];
  }
  return sum;
}

struct Rotation {
  Complex a{1.0, 0.0};
  Complex b{0.0, 0.0};
};

// The density matrix [[r00, r01], [r10, r11]] of one qubit in the rotating frame.
struct Qubit {
  Complex r00{1.0, 0.0};
  Complex r01{0.0, 0.0};
  Complex r10{0.0, 0.0};
  Complex r11{0.0, 0.0};

  // Free evolution for `seconds` (> 0): populations decay with t1, coherences with t2 (or, with
  // only t1 known, with 2 * t1); a lifetime of 0 means that kind of decay is absent.
  void relax(double seconds, double t1, double t2) {
    if (t1 > 0.0) {
      r11 = scale(r11, std::exp(-seconds / t1));
      r00 = {1.0 - r11.re, -r11.im};
    }
    double coherence = 1.0;
    if (t2 > 0.0) {
      coherence = std::exp(-seconds / t2);
    } else if (t1 > 0.0) {
      coherence = std::exp(-seconds / (2.0 * t1));
    }
    r01 = scale(r01, coherence);
    r10 = scale(r10, coherence);
  }

  // P(|1>), after which the qubit is left in the mixture of the two outcomes.
  double measure() {
    double p1 = r11.re > 0.0 ? r11.re : 0.0;
    p1 = p1 < 1.0 ? p1 : 1.0;
    r00 = {1.0 - p1, 0.0};
    r01 = r10 = {0.0, 0.0};
    r11 = {p1, 0.0};
    return p1;
  }

  // rho -> U rho U^dagger.
  void rotate(const Rotation& u) {
    Complex ca = conj(u.a), cb = conj(u.b);
    Complex t00 = sub(mul(u.a, r00), mul(cb, r10)), t01 = sub(mul(u.a, r01), mul(cb, r11));
    Complex t10 = add(mul(u.b, r00), mul(ca, r10)), t11 = add(mul(u.b, r01), mul(ca, r11));
    r00 = sub(mul(t00, ca), mul(t01, u.b));
    r01 = add(mul(t00, cb), mul(t01, u.a));
    r10 = sub(mul(t10, ca), mul(t11, u.b));
    r11 = add(mul(t10, cb), mul(t11, u.a));
  }
};

// Samples are turned into rotations a block at a time, in a loop without branches that the
// compiler vectorises, and then multiplied out in order.
constexpr Py_ssize_t kBlock = 256;

// The rotation of samples [start, end), later samples on the left. False when a sample is not
// finite or its angle too large to square, which no real drive comes near.
bool compose_run(const ComplexSamples& drive, const ComplexSamples& carrier, Py_ssize_t start,
                 Py_ssize_t end, Rotation& u) {
  double cos_half[kBlock], b_re[kBlock], b_im[kBlock], angle2[kBlock];
  Complex a = u.a, b = u.b;
  for (Py_ssize_t base = start; base < end; base += kBlock) {
    const Py_ssize_t count = end - base < kBlock ? end - base : kBlock;
    const double* d = drive.data() + 2 * base;
    const double* f = carrier.data() + 2 * base;
    for (Py_ssize_t i = 0; i < count; ++i) {
      // w = drive * carrier; its rotation is (cos|w|, sin|w|/|w| * w).
      double w_re = d[2 * i] * f[2 * i] - d[2 * i + 1] * f[2 * i + 1];
      double w_im = d[2 * i] * f[2 * i + 1] + d[2 * i + 1] * f[2 * i];
      double x2 = w_re * w_re + w_im * w_im;
      double s = series(kSincTerms, x2);
      angle2[i] = x2;
      cos_half[i] = series(kCosTerms, x2);
      b_re[i] = w_re * s;
      b_im[i] = w_im * s;
    }
    // Angles beyond the series (or not finite) are found apart, so that the loop above stays
    // free of branches and vectorised.
    for (Py_ssize_t i = 0; i < count; ++i) {
      double x2 = angle2[i];
      if (x2 <= kSeriesLimit) {
        continue;
      }
      if (!(x2 <= DBL_MAX)) {
        return false;
      }
      double w_re = d[2 * i] * f[2 * i] - d[2 * i + 1] * f[2 * i + 1];
      double w_im = d[2 * i] * f[2 * i + 1] + d[2 * i + 1] * f[2 * i];
      double x = std::sqrt(x2);
      double s = std::sin(x) / x;
      cos_half[i] = std::cos(x);
      b_re[i] = w_re * s;
      b_im[i] = w_im * s;
    }
    for (Py_ssize_t i = 0; i < count; ++i) {
      // (c, b2) after (a, b): a' = c a - conj(b2) b, b' = b2 a + c b.
      const double c = cos_half[i];
      const Complex b2{b_re[i], b_im[i]};
      Complex next_a = sub(scale(a, c), mul(conj(b2), b));
      b = add(mul(b2, a), scale(b, c));
      a = next_a;
    }
  }
  u.a = a;
  u.b = b;
  return true;
}

double positive_or_zero(PyObject* value, const char* what) {
  if (value == Py_None) {
    return 0.0;
  }
  double number = PyFloat_AsDouble(value);
  if (number == -1.0 && PyErr_Occurred()) {
    throw_error_set();
  }
  if (!(number > 0.0) || !std::isfinite(number)) {
    PyErr_Format(PyExc_ValueError, "%s must be a positive finite number or None", what);
    throw_error_set();
  }
  return number;
}

Ref float_list(const std::vector<double>& values) {
  Ref list = require(PyList_New(static_cast<Py_ssize_t>(values.size())));
  for (std::size_t i = 0; i < values.size(); ++i) {
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i),
                    require(PyFloat_FromDouble(values[i])).release());
  }
  return list;
}

}  // namespace

Ref read_starts(PyObject* readout_obj) {
  ComplexSamples readout(readout_obj, "readout");
  Ref out = require(PyList_New(0));
  for (Py_ssize_t k = 0; k < readout.size(); ++k) {
    if (read_starts_at(readout, k)) {
      Ref index = require(PyLong_FromSsize_t(k));
      require_status(PyList_Append(out.get(), index.get()));
    }
  }
  return out;
}

Ref evolve(PyObject* drive_obj, PyObject* carrier_obj, PyObject* readout_obj, PyObject* rate_obj,
           PyObject* t1_obj, PyObject* t2_obj) {
  ComplexSamples readout(readout_obj, "readout");
  const Py_ssize_t count = readout.size();
  readout.require_finite("readout");
  double sample_rate = PyFloat_AsDouble(rate_obj);
  if (sample_rate == -1.0 && PyErr_Occurred()) {
    throw_error_set();
  }
  if (!(sample_rate > 0.0) || !std::isfinite(sample_rate)) {
    raise(PyExc_ValueError, "sample_rate must be a positive finite number");
  }
  const double t1 = positive_or_zero(t1_obj, "t1");
  const double t2 = positive_or_zero(t2_obj, "t2");
  const double dt = 1.0 / sample_rate;

  // The drive and its scaled carrier come together, or neither does; without a drive both views
  // stand on the readout and are never read.
  const bool driven = drive_obj != Py_None;
  if (driven == (carrier_obj == Py_None)) {
    raise(PyExc_TypeError, "drive and carrier must both be given or both be None");
  }
  ComplexSamples drive(driven ? drive_obj : readout_obj, "drive");
  ComplexSamples carrier(driven ? carrier_obj : readout_obj, "carrier");
  if (drive.size() != count) {
    PyErr_Format(PyExc_ValueError, "drive and readout differ in length: %zd and %zd", drive.size(),
                 count);
    throw_error_set();
  }
  if (carrier.size() < count) {
    PyErr_Format(PyExc_ValueError, "carrier has %zd samples for a package of %zd", carrier.size(),
                 count);
    throw_error_set();
  }

  std::vector<double> out;
  bool angle_too_large = false;
  {
    WithoutGil unlocked(count >= kReleaseGilSamples);
    // Nothing after the last readout start can change what is reported.
    Py_ssize_t last_read = count - 1;
    while (last_read >= 0 && !read_starts_at(readout, last_read)) {
      --last_read;
    }
    Qubit qubit;
    Py_ssize_t clock = 0;
    Py_ssize_t k = 0;
    while (k <= last_read) {
      // A readout that starts where a pulse starts measures before the pulse.
      if (read_starts_at(readout, k)) {
        if (k > clock) {
          qubit.relax(static_cast<double>(k - clock) * dt, t1, t2);
        }
        clock = k;
        out.push_back(qubit.measure());
      }
      if (!(driven && drive.nonzero(k))) {
        // Idle: on to the next driven sample or readout start.
        ++k;
        while (k <= last_read && !(driven && drive.nonzero(k)) && !read_starts_at(readout, k)) {
          ++k;
        }
        continue;
      }
      // A run of driven samples, also cut where a readout starts inside it.
      Py_ssize_t end = k + 1;
      while (end < count && drive.nonzero(end) && !read_starts_at(readout, end)) {
        ++end;
      }
      Rotation u;
      if (!compose_run(drive, carrier, k, end, u)) {
        angle_too_large = true;
        break;
      }
      if (k > clock) {
        qubit.relax(static_cast<double>(k - clock) * dt, t1, t2);
      }
      qubit.rotate(u);
      clock = end;
      k = end;
    }
  }
  if (angle_too_large) {
    raise(PyExc_ValueError, "a drive sample is not finite or too large to simulate");
  }
  return float_list(out);
}

}  // namespace varnok::kernels
