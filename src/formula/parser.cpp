#include "formula/parser.hpp"

#include <string>
#include <unordered_map>

#include "formula/numeric.hpp"
#include "text/whitespace.hpp"

namespace tallyfit {
namespace {

// Splits at `separator`, which the text must contain; false when it occurs more than once.
bool split_once(std::string_view text, char separator, std::string_view &left,
                std::string_view &right) {
    std::size_t at = text.find(separator);
    if (text.find(separator, at + 1) != std::string_view::npos) {
        return false;
    }
    left = text.substr(0, at);
    right = text.substr(at + 1);
    return true;
}

FormulaTerm plain_term(std::string_view name) {
    FormulaTerm term;
    term.name = std::string(name);
    return term;
}

// right-side := { "+" | "-" | term-text }, where term-text runs up to the next "+" or "-"
Result<std::vector<FormulaTerm>, Error> scan_right_side(std::string_view right_side) {
    std::vector<FormulaTerm> raw_terms;
    char previous_op = '\0';
    std::size_t pending_start = 0;
    // "+" and "-" are ASCII, and no ASCII byte occurs inside a multi-byte UTF-8 sequence, so a
    // byte scan splits exactly where a code point scan would.
    for (std::size_t pos = 0; pos <= right_side.size(); ++pos) {
        bool at_end = pos == right_side.size();
        if (!at_end && right_side[pos] != '+' && right_side[pos] != '-') {
            continue;
        }
        std::string_view pending =
            trim_whitespace(right_side.substr(pending_start, pos - pending_start));
        if (!pending.empty()) {
            ASSIGN_OR_RETURN(std::vector<FormulaTerm> expanded, expand_term(pending, previous_op));
            for (FormulaTerm &term : expanded) {
                raw_terms.push_back(std::move(term));
            }
        }
        // A pending text of whitespace only may be dropped here: trimming would remove it from
        // the front of the next term anyway.
        pending_start = pos + 1;
        if (!at_end) {
            previous_op = right_side[pos];
        }
    }
    return raw_terms;
}

// The numeric terms decide: none, or only unsubtracted ones that are not all "0", keep it.
bool has_intercept(const std::vector<FormulaTerm> &raw_terms) {
    bool any_numeric = false;
    bool all_zero = true;
    for (const FormulaTerm &term : raw_terms) {
        if (!term.intercept) {
            continue;
        }
        if (term.subtracted) {
            return false;
        }
        any_numeric = true;
        all_zero = all_zero && term.name == "0";
    }
    return !any_numeric || !all_zero;
}

// Groups by exact name in order of first appearance; a group with any subtracted member
// vanishes, otherwise its first member stands for it. Numeric terms only steer the intercept.
std::vector<FormulaTerm> resolve_terms(std::vector<FormulaTerm> raw_terms, bool intercept) {
    struct Group {
        std::size_t first;
        bool subtracted;
    };
    std::vector<Group> groups;
    std::unordered_map<std::string_view, std::size_t> group_of_name;
    for (std::size_t i = 0; i < raw_terms.size(); ++i) {
        auto [slot, inserted] = group_of_name.try_emplace(raw_terms[i].name, groups.size());
        if (inserted) {
            groups.push_back(Group{i, raw_terms[i].subtracted});
        } else {
            groups[slot->second].subtracted |= raw_terms[i].subtracted;
        }
    }

    std::vector<FormulaTerm> independent;
    if (intercept) {
        FormulaTerm one = plain_term("1");
        one.intercept = true;
        independent.push_back(std::move(one));
    }
    for (const Group &group : groups) {
        FormulaTerm &term = raw_terms[group.first];
        if (!group.subtracted && !term.intercept) {
            independent.push_back(std::move(term));
        }
    }
    return independent;
}

} // namespace

// interaction := trim(left ":" right)
FormulaTerm create_interaction_term(std::string_view left, std::string_view right) {
    std::string joined;
    joined.reserve(left.size() + 1 + right.size());
    joined.append(left).append(":").append(right);
    FormulaTerm term = plain_term(trim_whitespace(joined));
    term.interaction = true;
    return term;
}

// term := factor "*" factor | piece ":" piece | name | number
Result<std::vector<FormulaTerm>, Error> expand_term(std::string_view term, char op) {
    std::vector<FormulaTerm> expanded;
    std::string_view left;
    std::string_view right;
    if (term.find('*') != std::string_view::npos) {
        if (!split_once(term, '*', left, right)) {
            return err(Error(ErrorCode::InvalidTerm, term));
        }
        if (left.empty() || right.empty()) {
            return err(Error(ErrorCode::EmptyIndependent));
        }
        // The factors of a product are names even when they look like numbers.
        expanded.push_back(plain_term(trim_whitespace(left)));
        expanded.push_back(plain_term(trim_whitespace(right)));
        expanded.push_back(create_interaction_term(left, right));
    } else if (term.find(':') != std::string_view::npos) {
        if (!split_once(term, ':', left, right)) {
            return err(Error(ErrorCode::InvalidTerm, term));
        }
        expanded.push_back(create_interaction_term(left, right));
    } else {
        FormulaTerm single = plain_term(term);
        single.intercept = is_numeric(term);
        expanded.push_back(std::move(single));
    }
    if (op == '-') {
        for (FormulaTerm &expanded_term : expanded) {
            expanded_term.subtracted = true;
        }
    }
    return expanded;
}

// formula := dependent "~" right-side, with exactly one "~" and neither side blank
Result<Formula, Error> parse_formula(std::string_view text) {
    if (trim_whitespace(text).empty()) {
        return err(Error(ErrorCode::EmptyFormula));
    }
    std::size_t tilde = text.find('~');
    if (tilde == std::string_view::npos) {
        return err(Error(ErrorCode::MissingTilde));
    }
    if (text.find('~', tilde + 1) != std::string_view::npos) {
        return err(Error(ErrorCode::MultipleTildes));
    }
    std::string_view left_side = trim_whitespace(text.substr(0, tilde));
    if (left_side.empty()) {
        return err(Error(ErrorCode::EmptyDependent));
    }
    std::string_view right_side = trim_whitespace(text.substr(tilde + 1));
    if (right_side.empty()) {
        return err(Error(ErrorCode::EmptyIndependent));
    }

    ASSIGN_OR_RETURN(std::vector<FormulaTerm> raw_terms, scan_right_side(right_side));
    bool intercept = has_intercept(raw_terms);

    Formula formula;
    formula.original = std::string(text);
    formula.dependent = plain_term(left_side);
    formula.dependent.dependent = true;
    formula.independent = resolve_terms(std::move(raw_terms), intercept);
    return formula;
}

} // namespace tallyfit
