// The CPU probe and MORVANE_ISA (see isa.hpp).
#include "isa.hpp"

#if MV_X86
#include <cpuid.h>
#endif

#include <cstdlib>
#include <cstring>
#include <string>

namespace morvane::engine {
namespace {

constexpr const char *kNames[static_cast<int>(Isa::Count)] = {"portable", "sse2", "avx2", "neon",
                                                              "avx512"};

struct Choice {
    Isa isa = Isa::Portable;
    std::string error;
};

Choice decide() {
    Choice c;
    for (Isa isa : {Isa::Avx512, Isa::Avx2, Isa::Neon, Isa::Sse2})
        if (isa_runs(isa)) {
            c.isa = isa;
            break;
        }
    const char *forced = std::getenv("MORVANE_ISA");
    if (forced == nullptr || *forced == 0) return c;
    for (int i = 0; i < static_cast<int>(Isa::Count); ++i) {
        if (std::strcmp(forced, kNames[i]) != 0) continue;
        if (isa_runs(static_cast<Isa>(i))) {
            c.isa = static_cast<Isa>(i);
        } else {
            c.error = std::string("MORVANE_ISA=") + forced + ": this build or CPU cannot run it";
        }
        return c;
    }
    c.error = std::string("MORVANE_ISA=") + forced +
              ": unknown instruction set (avx512, avx2, sse2, neon or portable)";
    return c;
}

const Choice &choice() {
    static const Choice c = decide();
    return c;
}

} // namespace

const char *isa_name(Isa isa) {
    const int i = static_cast<int>(isa);
    return i >= 0 && i < static_cast<int>(Isa::Count) ? kNames[i] : "unknown";
}

bool isa_runs(Isa isa) {
    switch (isa) {
    case Isa::Portable: return true;
#if MV_X86
    case Isa::Sse2: return true; // every x86-64 CPU
    case Isa::Avx2: {
        static const bool yes = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi") &&
                                __builtin_cpu_supports("bmi2");
        return yes;
    }
    case Isa::Avx512: {
        static const bool yes = isa_runs(Isa::Avx2) && __builtin_cpu_supports("avx512f") &&
                                __builtin_cpu_supports("avx512bw") &&
                                __builtin_cpu_supports("avx512vl") &&
                                __builtin_cpu_supports("avx512dq");
        return yes;
    }
#endif
#if MV_NEON
    case Isa::Neon: return true; // every AArch64 CPU
#endif
    default: return false;
    }
}

Isa active_isa() { return choice().isa; }

bool full_width_512() {
#if MV_X86
    static const bool yes = [] {
        // MORVANE_AVX512_FULL_WIDTH=1 or 0 overrides the probe (to run
        // either kind of kernel anywhere).
        if (const char *e = std::getenv("MORVANE_AVX512_FULL_WIDTH"); e != nullptr && *e != '\0')
            return std::strcmp(e, "0") != 0;
        unsigned a = 0, b = 0, c = 0, d = 0;
        if (!__get_cpuid(0, &a, &b, &c, &d)) return true;
        char vendor[13] = {};
        std::memcpy(vendor, &b, 4);
        std::memcpy(vendor + 4, &d, 4);
        std::memcpy(vendor + 8, &c, 4);
        if (std::strcmp(vendor, "AuthenticAMD") != 0 || !__get_cpuid(1, &a, &b, &c, &d))
            return true;
        unsigned family = (a >> 8) & 0xF;
        if (family == 0xF) family += (a >> 20) & 0xFF;
        return family != 0x19; // Zen 4 (Zen 5, family 0x1A, runs them whole)
    }();
    return yes;
#else
    return false;
#endif
}

const char *isa_error() { return choice().error.empty() ? nullptr : choice().error.c_str(); }

} // namespace morvane::engine
