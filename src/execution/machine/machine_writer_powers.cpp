// Powers: whole powers to kMaxProvenExponent proven in place by the proof
// of evaluation/arithmetic.h, the rounding mode's test, and the ways to pow
// for what the proof leaves, after the function's end.
#include "execution/machine/machine_writer.h"

#include <cmath>
#include <cstdint>
#include <utility>

#include <boost/container/map.hpp>
#include <boost/container/small_vector.hpp>

void CMachineWriter::Power(int level, const Place &exponent) {
  const Place running = Level(level);
  const std::int32_t n =
      exponent.kind == Place::kConstant ? SmallExponent(exponent.constant) : 0;
  if (SquaresInPlace() && n == 2) {
    if (running.kind == Place::kRegister) {
      Square(Xmm(running.index), level);
      return;
    }
    Load(0, running);
    Square(kX0, level);
    StoreLevel(level, 0);
    return;
  }
  if (SquaresInPlace() && n >= 3 && running.kind == Place::kRegister) {
    WholePower(Xmm(running.index), level, n);
    return;
  }
  Load(1, exponent);
  Load(0, running);
  Call(reinterpret_cast<const void *>(&PowerOf), "PowerOf", level, 2);
  StoreLevel(level, 0);
}

// Jumps to other unless arithmetic rounds to nearest, where the square
// proof holds, by the probe of evaluation/arithmetic.h. The sums raise the
// inexact flag, which the square's own inexact product or pow raises too.
// Once passed, the convention's roundingKnown remembers it until a
// callback.
void CMachineWriter::TestRoundsToNearest(Label other) {
  m_out.Movsd(kX2, Mem::Constant(RoundingProbe::kStart));
  m_out.Addsd(kX2, Mem::Constant(RoundingProbe::kFirst));
  m_out.Addsd(kX2, Mem::Constant(RoundingProbe::kSecond));
  m_out.Ucomisd(kX2, Mem::Constant(RoundingProbe::kNearest));
  m_out.Jcc(Condition::kNotEqual, other);
  if (X87Pow()) {
    // The x87 unit's rounding to nearest at full precision, as
    // RoundsToNearest reads it. Its control word goes to room taken on the
    // stack: below the stack pointer a signal's frame could overwrite it.
    m_out.SubRsp(4);
    m_out.Fnstcw(Mem::At(Gpr::kRsp));
    m_out.Mov(Gpr::kRax, Mem::At(Gpr::kRsp));
    m_out.AddRsp(4);
    m_out.And32(Gpr::kRax, 0x0F00);
    m_out.Cmp32(Gpr::kRax, 0x0300);
    m_out.Jcc(Condition::kNotEqual, other);
  }
  m_out.Mov32(m_convention.roundingKnown, 1);
}

// The rounding test for the power in xmm1, which the first power in place
// since entry or a callback makes on its way. The sums raise the inexact
// flag, which pow raises too, save for a power of +-1 (a base of
// magnitude 1): it stands in every mode, untested, as in IsProvenPower.
void CMachineWriter::ProveRounding(Label other, double exponent) {
  const Label one = m_out.NewLabel();
  m_out.Ucomisd(kX1, Mem::Constant(1.0));
  m_out.Jcc(Condition::kEqual, one);
  if (static_cast<std::int32_t>(exponent) % 2 != 0) {
    m_out.Ucomisd(kX1, Mem::Constant(-1.0));
    m_out.Jcc(Condition::kEqual, one);
  }
  TestRoundsToNearest(other);
  m_out.Bind(one);
}

bool CMachineWriter::SquaresInPlace() const {
  return m_vex && kPowsProvenInPlace;
}

// Where a power of base goes when its proof fails: pow, after the
// function's end, which saves the live levels' registers in their slots.
CMachineWriter::SquareByPow CMachineWriter::LeftToPow(Xmm base, int live,
                                                      double exponent) {
  const int saved = live < m_registerLevels ? live : m_registerLevels;
  if (saved - 1 > m_deepestSlot)
    m_deepestSlot = saved - 1;
  const Label pow = m_out.NewLabel(), back = m_out.NewLabel();
  const Label first = m_out.NewLabel();
  return SquareByPow{pow,  back,        first,        base,
                     live, m_heldValid, m_modeTested, exponent};
}

// Jumps to pow unless 2^-limit <= |base| < 2^limit, read from its exponent
// bits (no flag, NaN and infinity included): before any product, so that
// none overflows where pow would not, and none of the proofs' values is
// subnormal, which flush-to-zero would flush with a flag of its own.
void CMachineWriter::TestRange(Xmm base, int limit, Label pow) {
  m_out.Vandpd(kX1, base, m_convention.mask);
  m_out.Ucomisd(kX1, Mem::Constant(std::ldexp(1.0, -limit)));
  m_out.Jcc(Condition::kBelow, pow);
  m_out.Ucomisd(kX1, Mem::Constant(std::ldexp(1.0, limit)));
  m_out.Jcc(Condition::kAboveOrEqual, pow);
}

// Where pow flags only some exact powers (32-bit x86 glibc's: see
// kPowFlagsEveryPower), a power whose residual is 0 goes to it, as
// IsProvenPower has it.
void CMachineWriter::LeaveExactToPow(Xmm residual, Label pow) {
  if (!X87Pow())
    return;
  m_out.Ucomisd(residual, Mem::Constant(0.0));
  m_out.Jcc(Condition::kEqual, pow);
}

// base = base ^ 2 in its register, for bases in the square's range: the
// product p, its residual a * a - p exact from a fused multiply-add, and
// the test of IsProvenPower (evaluation/arithmetic.h).
void CMachineWriter::Square(Xmm base, int live) {
  const SquareByPow cold = LeftToPow(base, live, 2.0);
  TestRange(base, PowerRange(2), cold.pow);
  m_out.Vmulsd(kX1, base, base);
  m_out.Movapd(kX2, kX1);
  m_out.Vfmsub231sd(kX2, base, base);
  LeaveExactToPow(kX2, cold.pow);
  m_out.Vfmadd132sd(kX2, kX1, Mem::Constant(kRoundsBack));
  m_out.Ucomisd(kX2, kX1);
  m_out.Jcc(Condition::kNotEqual, cold.pow);
  Proven(cold);
}

// The power in xmm1, proven where arithmetic rounds to nearest, goes to
// its base's register; the rounding mode is tested on the way by the first
// power since entry or a callback, and remembered in roundingKnown for
// later ones.
void CMachineWriter::Proven(const SquareByPow &cold) {
  if (m_modeTested) {
    // Unless the rounding test passed on the way here, this power's path
    // proves the mode.
    m_out.Test32(m_convention.roundingKnown);
    m_out.Jcc(Condition::kEqual, cold.first);
  } else {
    ProveRounding(cold.pow, cold.exponent);
    m_modeTested = true;
  }
  m_out.Movapd(cold.base, kX1);
  // Reached from the way to pow by an indirect jump too.
  m_out.Bind(cold.back);
  m_out.Endbr();
  m_squaresByPow.push_back(cold);
}

// base = base ^ n in its register, n from 3 to kMaxProvenExponent, by the
// flat program's steps (PowN): hi = a * a and lo its error, then n - 2
// times the product hi * a, and its error plus lo * a as the next lo; p = hi +
// lo, its residual, and the test of IsProvenPower. The fused multiply-adds
// give the exact errors the flat program gets by splitting the factors
// where it has none. Uses xmm0 as a third scratch register.
void CMachineWriter::WholePower(Xmm base, int live, std::int32_t n) {
  const SquareByPow cold = LeftToPow(base, live, n);
  TestRange(base, PowerRange(n), cold.pow);
  // hi takes xmm1 and xmm2 in turn, ending in xmm2.
  Xmm hi = (n - 2) % 2 == 0 ? kX2 : kX1;
  Xmm next = (n - 2) % 2 == 0 ? kX1 : kX2;
  m_out.Vmulsd(hi, base, base);
  m_out.Movapd(kX0, hi);
  m_out.Vfmsub231sd(kX0, base, base); // lo
  for (std::int32_t k = 2; k < n; ++k) {
    m_out.Vmulsd(next, hi, base);      // the next hi
    m_out.Vfmsub213sd(hi, base, next); // its error
    m_out.Vfmadd213sd(kX0, base, hi);  // the next lo: lo * a + the error
    std::swap(hi, next);
  }
  m_out.Vaddsd(kX1, kX2, kX0); // p
  m_out.Vsubsd(kX2, kX1, kX2);
  m_out.Vsubsd(kX0, kX0, kX2); // the residual
  LeaveExactToPow(kX0, cold.pow);
  m_out.Vfmadd132sd(kX0, kX1, Mem::Constant(kRoundsBack));
  m_out.Ucomisd(kX0, kX1);
  m_out.Jcc(Condition::kNotEqual, cold.pow);
  Proven(cold);
}

// The powers left to pow, after the function's end so that the
// usual path runs straight on. Each jumps, with where to come back to in
// returnTo, to a way to pow shared by all with the same base register, live
// levels, held variables and exponent, which keeps returnTo in the frame across
// the call and jumps back through it with the power in the base's
// register: a long formula's squares do not each carry a call. A later
// power whose rounding mode is not yet proven goes, likewise, to a way
// that proves it, shared too.
void CMachineWriter::SquaresByPow() {
  struct Way {
    Label pow;
    Label prove;
    bool proves;
    const SquareByPow *first;
  };
  boost::container::map<std::uint64_t, std::size_t> index;
  boost::container::small_vector<Way, 8> ways;
  for (const SquareByPow &cold : m_squaresByPow) {
    const std::uint64_t key = static_cast<std::uint64_t>(cold.base.index) |
                              static_cast<std::uint64_t>(cold.live) << 8 |
                              static_cast<std::uint64_t>(cold.reload) << 40 |
                              static_cast<std::uint64_t>(cold.exponent) << 41;
    auto found = index.find(key);
    if (found == index.end()) {
      found = index.emplace(key, ways.size()).first;
      ways.push_back(Way{m_out.NewLabel(), m_out.NewLabel(), false, &cold});
    }
    Way &way = ways[found->second];
    // The powers before it did not prove the mode (their proof failed, or
    // the base's magnitude was 1).
    if (cold.later) {
      m_out.Bind(cold.first);
      m_out.Lea(m_convention.returnTo, cold.back);
      m_out.Jmp(way.prove);
      way.proves = true;
    }
    m_out.Bind(cold.pow);
    m_out.Lea(m_convention.returnTo, cold.back);
    m_out.Jmp(way.pow);
  }
  for (const Way &way : ways) {
    if (way.proves) {
      m_out.Bind(way.prove);
      ProveRounding(way.pow, way.first->exponent);
      m_out.Movapd(way.first->base, kX1);
      m_out.Jmp(m_convention.returnTo);
    }
    WayToPow(way.pow, *way.first);
  }
}

void CMachineWriter::WayToPow(Label label, const SquareByPow &cold) {
  m_out.Bind(label);
  // Without a frame on the usual path, this one makes its own and keeps
  // the arguments in it across the call.
  const bool keep = m_coldFrame != 0;
  if (keep) {
    m_out.SubRsp(m_coldFrame);
    SaveArguments(m_out, m_coldFrame);
  }
  m_out.Mov(ReturnSlot(), m_convention.returnTo);
  // The evaluator's own pow, for the powers the proof leaves, and for all
  // of them in other rounding modes.
  Load(0, Register(cold.base.index));
  Load(1, Place{Place::kConstant, cold.exponent, 0, nullptr});
  double (*const power)(double, double) = &std::pow;
  Call(reinterpret_cast<const void *>(power), "pow", cold.live, 2);
  Load(cold.base.index, Register(0));
  if (cold.reload)
    ReloadHeld();
  if (keep)
    RestoreArguments();
  m_out.Mov(m_convention.returnTo, ReturnSlot());
  if (keep)
    m_out.AddRsp(m_coldFrame);
  m_out.Jmp(m_convention.returnTo);
}
