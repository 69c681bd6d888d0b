// A router's choice among its models: each model's price for a text, and the
// usable model with the best predicted result less the trade-off times its
// price.
//
//   price[m]     = per_prompt[m] + per_input_token[m] * tokens
//   objective[m] = score[m] - tradeoff * price[m]
//
// where `tokens` is the text's input estimate (its UTF-8 bytes / 4, rounded
// up). The highest objective wins; ties go to the lower price, then to the
// earlier model. Prices are finite and at least 0 and the tradeoff finite and
// at least 0, so an objective is never NaN: a product too large for a double
// is infinite, and the models it reaches are then told apart by price.
#pragma once

#include <cstdint>

#include "fitted/tables.hpp"

namespace halvec::core::fitted {

struct Prices {
    double per_prompt[kMaxModels];
    double per_input_token[kMaxModels];
    bool by_length;  // whether some model's price grows with the text
};

// The input estimate of a text of `bytes` UTF-8 bytes.
inline std::int64_t input_tokens(std::int64_t bytes) { return (bytes + 3) / 4; }

inline void prices_of(const Prices& prices, int models, std::int64_t tokens, double* out) {
    for (int m = 0; m < models; ++m) {
        out[m] = prices.per_prompt[m] + prices.per_input_token[m] * static_cast<double>(tokens);
    }
}

// The index of the chosen model among those whose bit is set in `usable`;
// -1 when none is.
inline int choose(const double* scores, const double* prices, int models, std::uint32_t usable, double tradeoff) {
    int best = -1;
    double best_objective = 0, best_price = 0;
    for (int m = 0; m < models; ++m) {
        if (!(usable >> m & 1u)) continue;
        const double objective = scores[m] - tradeoff * prices[m];
        if (best < 0 || objective > best_objective || (objective == best_objective && prices[m] < best_price)) {
            best = m;
            best_objective = objective;
            best_price = prices[m];
        }
    }
    return best;
}

}  // namespace halvec::core::fitted
