#include "models/glm_names.hpp"

#include <algorithm>
#include <array>
#include <iterator>
#include <utility>

namespace tallyfit {

namespace {

using enum GlmFamily;
using enum GlmLink;

constexpr std::array<std::pair<GlmFamily, std::string_view>, 5> family_names{{
    {Gaussian, "gaussian"},
    {Binomial, "binomial"},
    {Poisson, "poisson"},
    {Gamma, "Gamma"},
    {InverseGaussian, "inverse.gaussian"},
}};

constexpr std::array<std::pair<GlmLink, std::string_view>, 9> link_names{{
    {Identity, "identity"},
    {Log, "log"},
    {Inverse, "inverse"},
    {Logit, "logit"},
    {Probit, "probit"},
    {Cloglog, "cloglog"},
    {Cauchit, "cauchit"},
    {Sqrt, "sqrt"},
    {InverseSquare, "1/mu^2"},
}};

// As R's gaussian(), binomial(), poisson(), Gamma() and inverse.gaussian() accept them.
constexpr std::array<GlmLink, 3> gaussian_links{Identity, Log, Inverse};
constexpr std::array<GlmLink, 5> binomial_links{Logit, Probit, Cloglog, Cauchit, Log};
constexpr std::array<GlmLink, 3> poisson_links{Log, Identity, Sqrt};
constexpr std::array<GlmLink, 3> gamma_links{Inverse, Identity, Log};
constexpr std::array<GlmLink, 4> inverse_gaussian_links{InverseSquare, Inverse, Identity, Log};

template <class Key, std::size_t N>
std::optional<Key> key_named(const std::array<std::pair<Key, std::string_view>, N> &table,
                             std::string_view name) {
    const auto found = std::find_if(table.begin(), table.end(),
                                    [&](const auto &entry) { return entry.second == name; });
    return found == table.end() ? std::nullopt : std::optional<Key>(found->first);
}

template <class Key, std::size_t N>
std::string_view name_of(const std::array<std::pair<Key, std::string_view>, N> &table, Key key) {
    return std::find_if(table.begin(), table.end(),
                        [&](const auto &entry) { return entry.first == key; })
        ->second;
}

template <class Key, std::size_t N>
std::string quoted_names(const std::array<std::pair<Key, std::string_view>, N> &table) {
    std::string names;
    for (const auto &[key, name] : table) {
        names += (names.empty() ? "'" : ", '") + std::string(name) + "'";
    }
    return names;
}

} // namespace

std::optional<GlmFamily> glm_family_named(std::string_view name) {
    return key_named(family_names, name);
}

std::optional<GlmLink> glm_link_named(std::string_view name) { return key_named(link_names, name); }

std::string_view glm_family_name(GlmFamily family) { return name_of(family_names, family); }

std::string_view glm_link_name(GlmLink link) { return name_of(link_names, link); }

std::string glm_family_names() { return quoted_names(family_names); }

std::string glm_link_names() { return quoted_names(link_names); }

std::span<const GlmLink> glm_links_of(GlmFamily family) {
    switch (family) {
    case Gaussian:
        return gaussian_links;
    case Binomial:
        return binomial_links;
    case Poisson:
        return poisson_links;
    case Gamma:
        return gamma_links;
    case InverseGaussian:
        return inverse_gaussian_links;
    }
    return {};
}

} // namespace tallyfit
