// numpy's default generator seeded with a list of integers runs them through its SeedSequence (a
// documented, versioned hash of 32-bit words into a pool of four words) and seeds PCG64 from
// four 64-bit words the sequence generates. That costs several times the draws of a step; the
// same arithmetic here gives the PCG64 state directly, which the device installs into a generator
// it keeps. The device compares the result with numpy's own before relying on it.
#include "kernels_seed.hpp"

#include <cstdint>
#include <vector>

namespace varnok::kernels {
namespace {

constexpr std::uint32_t kInitA = 0x43b0d7e5;
constexpr std::uint32_t kMultA = 0x931e8875;
constexpr std::uint32_t kInitB = 0x8b51f9dd;
constexpr std::uint32_t kMultB = 0x58f38ded;
constexpr std::uint32_t kMixMultL = 0xca01f9dd;
constexpr std::uint32_t kMixMultR = 0x4973f715;
constexpr int kXShift = 16;
constexpr int kPoolSize = 4;

inline std::uint32_t hashmix(std::uint32_t value, std::uint32_t& hash_const) {
  value ^= hash_const;
  hash_const *= kMultA;
  value *= hash_const;
  value ^= value >> kXShift;
  return value;
}

inline std::uint32_t mix(std::uint32_t x, std::uint32_t y) {
  std::uint32_t result = kMixMultL * x - kMixMultR * y;
  result ^= result >> kXShift;
  return result;
}

// PCG64's 128-bit arithmetic (a compiler extension of GCC and Clang).
__extension__ typedef unsigned __int128 u128;

Ref from_u128(u128 value) {
  Ref high = require(PyLong_FromUnsignedLongLong(static_cast<unsigned long long>(value >> 64)));
  Ref low = require(PyLong_FromUnsignedLongLong(static_cast<unsigned long long>(value)));
  Ref sixty_four = require(PyLong_FromLong(64));
  Ref shifted = require(PyNumber_Lshift(high.get(), sixty_four.get()));
  return require(PyNumber_Or(shifted.get(), low.get()));
}

}  // namespace

Ref pcg64_state(PyObject* entropy_obj) {
  Ref entropy = require(PySequence_Fast(entropy_obj, "entropy must be a sequence of integers"));
  std::vector<std::uint32_t> words;
  const Py_ssize_t count = PySequence_Fast_GET_SIZE(entropy.get());
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyObject* item = PySequence_Fast_GET_ITEM(entropy.get(), i);
    if (!PyLong_Check(item)) {
      raise(PyExc_TypeError, "entropy must be a sequence of integers");
    }
    unsigned long long value = PyLong_AsUnsignedLongLong(item);
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
      if (!PyErr_ExceptionMatches(PyExc_OverflowError)) {
        throw_error_set();
      }
      PyErr_Clear();
      return Ref::borrow(Py_None);
    }
    // An integer is its 32-bit words, least significant first; zero is one word.
    words.push_back(static_cast<std::uint32_t>(value));
    if (value >> 32) {
      words.push_back(static_cast<std::uint32_t>(value >> 32));
    }
  }
  std::uint32_t pool[kPoolSize];
  std::uint32_t hash_const = kInitA;
  for (int i = 0; i < kPoolSize; ++i) {
    pool[i] = hashmix(static_cast<std::size_t>(i) < words.size() ? words[i] : 0u, hash_const);
  }
  for (int src = 0; src < kPoolSize; ++src) {
    for (int dst = 0; dst < kPoolSize; ++dst) {
      if (src != dst) {
        pool[dst] = mix(pool[dst], hashmix(pool[src], hash_const));
      }
    }
  }
  for (std::size_t src = kPoolSize; src < words.size(); ++src) {
    for (int dst = 0; dst < kPoolSize; ++dst) {
      pool[dst] = mix(pool[dst], hashmix(words[src], hash_const));
    }
  }
  // Eight 32-bit words, paired little-endian into four 64-bit ones.
  std::uint64_t state[4] = {0, 0, 0, 0};
  std::uint32_t out_const = kInitB;
  for (int i = 0; i < 8; ++i) {
    std::uint32_t value = pool[i % kPoolSize];
    value ^= out_const;
    out_const *= kMultB;
    value *= out_const;
    value ^= value >> kXShift;
    if (i % 2 == 0) {
      state[i / 2] = value;
    } else {
      state[i / 2] |= static_cast<std::uint64_t>(value) << 32;
    }
  }
  // PCG64's seeding: the first word pair is the initial state, the second the stream.
  const u128 multiplier =
      (static_cast<u128>(2549297995355413924ULL) << 64) | 4865540595714422341ULL;
  const u128 init_state = (static_cast<u128>(state[0]) << 64) | state[1];
  const u128 init_seq = (static_cast<u128>(state[2]) << 64) | state[3];
  const u128 inc = (init_seq << 1) | 1u;
  u128 rng = 0;
  rng = rng * multiplier + inc;
  rng += init_state;
  rng = rng * multiplier + inc;
  Ref state_int = from_u128(rng);
  Ref inc_int = from_u128(inc);
  return require(PyTuple_Pack(2, state_int.get(), inc_int.get()));
}

}  // namespace varnok::kernels
