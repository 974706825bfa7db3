#pragma once
// The tables of a TD-DFT output's SOC part beside its eigenvectors: the couplings between
// triplets and singlets, and the SOC-corrected spectra.

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace records::tddft {

// <T|HSO|S> of one triplet root and one singlet root, in cm-1: Z, X and Y, each (real, imaginary).
struct SOCCoupling {
    uint32_t triplet;  // from 1
    uint32_t singlet;  // 0: the ground state
    double z_real, z_imag, x_real, x_imag, y_real, y_imag;
};

// The four SOC-corrected spectra, in the order an output prints them.
enum class SpectrumKind { AbsorptionElectric, AbsorptionVelocity, CDElectric, CDVelocity };
inline constexpr std::array<std::string_view, 4> kSpectrumKinds = {"absorption-electric", "absorption-velocity",
                                                                   "cd-electric", "cd-velocity"};

// One line of a spectrum: between two SOC states, numbered as the eigenvectors are.
struct SOCTransition {
    SpectrumKind kind;
    uint32_t from_state, to_state;
    std::optional<float> from_multiplicity, to_multiplicity;  // the later layout only
    std::optional<double> energy_ev;                          // the later layout only
    double energy_cm1, wavelength_nm;
    double strength;                // the oscillator strength, or R for a CD spectrum
    std::optional<double> squared;  // D2, T2 or P2; none for a CD spectrum
    double x, y, z;                 // the components' magnitudes
};

}  // namespace records::tddft
