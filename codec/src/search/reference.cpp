// The reference kernel: the search's sample step as plainly as it can be
// written, on state_update.h's advance(). Every other kernel must give its
// streams (tests/search_encoder_test.cpp and fuzz/search_fuzz.cpp check).
//
// Each path is extended by the codes worth trying: the greedy code and the
// next one toward the residual, whose levels bracket the residual (a code
// further out only moves the reconstruction further from it); all sixteen
// when both of those overflow, so that one staying in range is found. Of
// those candidates, `width` survive: three quarters of the slots go first to
// the cheapest candidate of each step class, so that paths which adapted the
// step differently (and pay for it only later) stay alive; the rest go to
// the cheapest of the others. Survivors take their slots in the order of
// their candidates' positions (see terms.h), so that which set survives is
// all that matters, however a kernel finds it.

#include <algorithm>
#include <bitset>
#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>

#include "nbz/quantiser.h"
#include "nbz/state_update.h"
#include "search/encoder.h"

namespace nbz::search {
namespace {

// The candidates of one sample, each at its position in e.scratch.candidates.
class candidate_list {
public:
    candidate_list(std::span<candidate, index_count> at, const paths& from, std::int32_t x)
        : at_{at}, from_{from}, x_{x} {}

    // Weighs path k's state after `code` as the candidate at `position`;
    // returns whether its reconstruction overflows. `basis` is the state's.
    bool add(std::size_t k, const advance_basis& basis, int code, std::size_t position) {
        encoder_state next = state_at(from_, k);
        advance(next, basis, code);
        const std::uint32_t overflow = overflows(next.output);
        at_[position] = {key_of(from_.cost[k], capped_error(next.output, x_), overflow, position),
                         step_class(next.step), static_cast<std::uint8_t>(k), static_cast<std::int8_t>(code)};
        positions_[count_++] = static_cast<std::uint16_t>(position);
        return overflow != 0;
    }

    std::span<const std::uint16_t> positions() const { return std::span{positions_}.first(count_); }
    const candidate& operator[](std::size_t position) const { return at_[position]; }

private:
    std::span<candidate, index_count> at_;
    const paths& from_;
    std::int32_t x_;
    std::array<std::uint16_t, candidate_max>
        positions_;  // NOLINT(cppcoreguidelines-pro-type-member-init): count_ of them in use
    std::size_t count_ = 0;
};

// The codes worth trying for every path alive.
void expand(const search_encoder& e, candidate_list& list, std::int32_t x) {
    const paths& from = alive(e);
    std::size_t extras = 0;
    for (std::size_t k = 0; k < static_cast<std::size_t>(e.path_count); ++k) {
        const encoder_state s = state_at(from, k);
        const advance_basis basis = basis_of(s);
        const std::int32_t residual = wrap_sub(x, prediction(s));
        const int greedy = quantise(residual, s.step);
        const int toward = greedy + (residual < 0 ? -1 : 1);
        const bool greedy_overflows = list.add(k, basis, greedy, k);
        const bool toward_overflows = toward >= -8 && toward <= 7 ? list.add(k, basis, toward, other_base + k) : true;
        if (greedy_overflows && toward_overflows) {
            for (int code = -8; code <= 7; ++code) list.add(k, basis, code, extra_base + 16 * extras + (code + 8));
            ++extras;
        }
    }
}

// The positions of the survivors, in ascending order, into `chosen`;
// returns their number. `class_cheapest` is all unclaimed before and after.
std::size_t select(const candidate_list& list, int width, std::span<std::uint64_t, step_class_count> class_cheapest,
                   std::span<std::uint64_t, index_count> keys, std::span<std::size_t, paths_max> chosen) {
    // The cheapest candidate of each step class.
    std::array<std::uint64_t, step_class_count> winners{};
    std::size_t classes = 0;
    for (const std::size_t j : list.positions()) {
        std::uint64_t& cheapest = class_cheapest[list[j].step_class];
        if (cheapest == unclaimed) winners[classes++] = list[j].step_class;  // the class, for now
        cheapest = std::min(cheapest, list[j].key);
    }
    for (std::size_t c = 0; c < classes; ++c)
        winners[c] = std::exchange(class_cheapest[static_cast<std::size_t>(winners[c])], unclaimed);

    const std::size_t candidates = list.positions().size();
    const std::size_t kept = std::min(candidates, static_cast<std::size_t>(width));
    const std::size_t for_classes = std::min({kept, static_cast<std::size_t>(width) * 3 / 4, classes});
    // Usually every class's winner is taken; when there are more classes
    // than slots for them, the cheapest winners are.
    std::nth_element(winners.begin(), winners.begin() + static_cast<std::ptrdiff_t>(for_classes),
                     winners.begin() + static_cast<std::ptrdiff_t>(classes));
    std::bitset<index_count> taken;
    for (std::size_t k = 0; k < for_classes; ++k) taken.set(static_cast<std::size_t>(winners[k] & index_mask));

    // The rest of the slots: the cheapest of the candidates not taken.
    std::size_t others = 0;
    for (const std::size_t j : list.positions())
        if (!taken[j]) keys[others++] = list[j].key;
    const std::size_t fill = kept - for_classes;
    std::nth_element(keys.begin(), keys.begin() + static_cast<std::ptrdiff_t>(fill),
                     keys.begin() + static_cast<std::ptrdiff_t>(others));

    for (std::size_t k = 0; k < for_classes; ++k) chosen[k] = static_cast<std::size_t>(winners[k] & index_mask);
    for (std::size_t k = 0; k < fill; ++k) chosen[for_classes + k] = static_cast<std::size_t>(keys[k] & index_mask);
    std::sort(chosen.begin(), chosen.begin() + static_cast<std::ptrdiff_t>(kept));
    return kept;
}

std::size_t extend_reference(search_encoder& e, std::int32_t x, paths& next, history_row& steps, state_hashes& hashes) {
    candidate_list list{e.scratch.candidates, alive(e), x};
    expand(e, list, x);
    std::array<std::size_t, paths_max> chosen{};
    const std::size_t kept = select(list, e.width, e.scratch.class_cheapest, e.scratch.keys, chosen);

    // Costs are kept relative to the cheapest candidate, so that they
    // cannot grow without bound. It is its class's cheapest, and survives.
    std::uint64_t base = unclaimed;
    for (const std::size_t j : list.positions()) base = std::min(base, list[j].key);
    base >>= index_bits;
    const paths& from = alive(e);
    for (std::size_t k = 0; k < kept; ++k) {
        const candidate& c = list[chosen[k]];
        encoder_state s = state_at(from, c.parent);
        advance(s, c.code);
        next.delta[k] = s.delta;
        next.delta_prev[k] = s.delta_prev;
        next.estimate[k] = s.estimate;
        next.step[k] = s.step;
        next.output[k] = s.output;
        next.cost[k] = (c.key >> index_bits) - base;
        next.origin[k] = from.origin[c.parent];
        steps[k] = {c.parent, c.code};
        hashes[k] = state_hash(s.output, s.estimate, s.delta, s.delta_prev, s.step);
    }
    return kept;
}

// The core's table looks for repeats every sample.
bool may_repeat_reference(const state_hashes& /*hashes*/, std::size_t /*count*/) { return true; }

bool runs_everywhere() { return true; }

}  // namespace

const kernel reference_kernel = {search_kernel::reference, "reference", runs_everywhere, extend_reference,
                                 may_repeat_reference};

}  // namespace nbz::search
