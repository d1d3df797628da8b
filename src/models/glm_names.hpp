// R's generalized linear model families and links by name, and which links each family takes.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace tallyfit {

enum class GlmFamily { Gaussian, Binomial, Poisson, Gamma, InverseGaussian };

enum class GlmLink { Identity, Log, Inverse, Logit, Probit, Cloglog, Cauchit, Sqrt, InverseSquare };

// By R's names ("Gamma", "inverse.gaussian"; "1/mu^2"); nullopt for any other name.
std::optional<GlmFamily> glm_family_named(std::string_view name);
std::optional<GlmLink> glm_link_named(std::string_view name);
std::string_view glm_family_name(GlmFamily family);
std::string_view glm_link_name(GlmLink link);

// R's names of all families, or of all links, quoted and separated by commas.
std::string glm_family_names();
std::string glm_link_names();

// The links R's family object of that family accepts, its default first.
std::span<const GlmLink> glm_links_of(GlmFamily family);

} // namespace tallyfit
