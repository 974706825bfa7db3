#pragma once
// One text per parse outcome, the same for the module's records and the reference's, so
// that the two can be compared: floats by their bits (NaN by its sign only, as Python
// sees no more of it), strings byte for byte.

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

namespace fuzz {

inline void add(std::string& out, float value) {
    char text[16];
    if (std::isnan(value)) {
        std::snprintf(text, sizeof text, "%cnan", std::signbit(value) ? '-' : '+');
    } else {
        std::snprintf(text, sizeof text, "%08x", static_cast<unsigned>(std::bit_cast<uint32_t>(value)));
    }
    out += text;
    out += ' ';
}

inline void add(std::string& out, long long value) { out += std::to_string(value) + ' '; }

inline void add(std::string& out, std::string_view text) {
    out += std::to_string(text.size()) + ':';
    out += text;
    out += ' ';
}

template <typename Output>
std::string describe_tddft(const Output& output) {
    std::string out;
    for (const auto& vector : output.soc_matrix.eigenvectors) {
        out += "\nstate ";
        add(out, static_cast<long long>(vector.n));
        add(out, vector.energy);
        for (const auto& element : vector.elements) {
            out += "\n  element ";
            for (float value : {element.weight, element.real, element.imag}) add(out, value);
            for (long long value : {static_cast<long long>(element.root), static_cast<long long>(element.spin),
                                    static_cast<long long>(element.ms)}) {
                add(out, value);
            }
        }
    }
    return out;
}

template <typename Output>
std::string describe_casscf(const std::optional<Output>& output) {
    if (!output) return "no section";
    std::string out;
    for (const auto& orbital : output->orbital_contributions) {
        out += "\norbital ";
        add(out, static_cast<long long>(orbital.orbital_nr));
        add(out, orbital.energy);
        add(out, orbital.occupation);
        for (const auto& contribution : orbital.contributions) {
            out += "\n  contribution ";
            add(out, static_cast<long long>(contribution.atom_nr));
            add(out, std::string_view(contribution.element));
            add(out, std::string_view(contribution.orbital_type));
            add(out, contribution.contribution);
        }
    }
    return out;
}

}  // namespace fuzz
