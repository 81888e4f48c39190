// Period columns: every frame hands out pandas Periods, whose str() is written here from the
// ordinal (lib/time_text.hpp) for the frequencies known to it. The first Period and the first
// NaT a process meets are sampled and their str() compared with the rendered text; after
// that, only values outside the years written are boxed.
#include <algorithm>
#include <array>

#include "python/errors.hpp"
#include "python/input/cell_text.hpp"
#include "python/input/column_plan.hpp"
#include "python/input/render_trust.hpp"
#include "python/lookup.hpp"

namespace vandra {
namespace {

constexpr std::size_t kFreqs = static_cast<std::size_t>(PeriodFreq::nano) + 1;
std::array<RenderTrust, kFreqs> freq_trust;
RenderTrust nat_trust;  // NaT: no float value, str() "NaT"

struct PeriodTexts final : ValueRenderer {
    PeriodFreq freq = PeriodFreq::day;
    std::string_view text(const KeyedItem& value, char* buf) const override {
        return {buf, period_text(value.key, freq, buf)};
    }
};

class PeriodCells final : public DistinctCells {
  public:
    PeriodCells(Boxer boxer, const std::vector<std::uint64_t>& values,
                const std::vector<std::uint8_t>& renderable, PeriodFreq freq, bool nat_known)
        : DistinctCells(std::move(boxer)),
          values_(values),
          renderable_(renderable),
          texts_(std::make_shared<PeriodTexts>()),
          nat_known_(nat_known) {
        texts_->freq = freq;
    }

  private:
    bool is_nat(std::uint32_t id) const { return static_cast<std::int64_t>(values_[id]) == kNaT; }
    bool renders(std::uint32_t id) const override {
        return renderable_[id] != 0 || (nat_known_ && is_nat(id));
    }
    std::optional<double> own_number(std::uint32_t) const override { return std::nullopt; }
    std::string_view own_text(std::uint32_t id) const override {
        if (is_nat(id)) return "NaT";
        char buf[kTimeTextMax];
        scratch_.assign(
            texts_->text(KeyedItem{static_cast<std::int64_t>(values_[id]), 0, id}, buf));
        return scratch_;
    }
    std::optional<TextKey> text_key(std::uint32_t id) const override {
        if (!renderable_[id]) return std::nullopt;
        return TextKey{static_cast<std::int64_t>(values_[id]), 0};
    }
    std::shared_ptr<const ValueRenderer> renderer() const override { return texts_; }

    const std::vector<std::uint64_t>& values_;
    const std::vector<std::uint8_t>& renderable_;
    std::shared_ptr<PeriodTexts> texts_;
    bool nat_known_;
};

class PeriodPlan final : public ColumnPlan {
  public:
    PeriodPlan(DistinctWords&& values, PeriodFreq freq)
        : ColumnPlan(std::move(values.rows)), values_(std::move(values.values)), freq_(freq) {
        const std::size_t k = values_.size();
        renderable_.assign(k, 0);
        std::int64_t lo = INT64_MAX, hi = INT64_MIN;
        for (std::size_t id = 0; id < k; ++id) {
            const auto v = static_cast<std::int64_t>(values_[id]);
            if (v == kNaT) {
                if (nat_ == DistinctRows::kNoId) nat_ = static_cast<std::uint32_t>(id);
                continue;
            }
            if (first_valid_ == DistinctRows::kNoId) first_valid_ = static_cast<std::uint32_t>(id);
            renderable_[id] = 1;
            lo = std::min(lo, v);
            hi = std::max(hi, v);
        }
        // Texts are written within a span of years: where the earliest and the latest are,
        // all between are.
        char buf[kTimeTextMax];
        if (first_valid_ == DistinctRows::kNoId ||
            (period_text(lo, freq_, buf) != 0 && period_text(hi, freq_, buf) != 0))
            return;
        for (std::size_t id = 0; id < k; ++id) {
            if (renderable_[id])
                renderable_[id] =
                    period_text(static_cast<std::int64_t>(values_[id]), freq_, buf) != 0;
        }
    }

    // NaT and the values not rendered, and, until the process has checked them, the first
    // value (against its rendered text) and NaT (as rendered).
    std::vector<std::uint32_t> sampled() const override {
        std::vector<std::uint32_t> ids;
        const bool nat_known = nat_trust.confirmed();
        for (std::uint32_t id = 0; id < renderable_.size(); ++id) {
            const bool unknown_nat = id == nat_ && !nat_known;
            if ((!renderable_[id] && id != nat_) || unknown_nat ||
                (id == first_valid_ && !trust().confirmed()))
                ids.push_back(id);
        }
        return ids;
    }

    bool settle(DistinctCells::Boxer sample) override {
        if (first_valid_ != DistinctRows::kNoId && !trust().confirmed()) {
            const bool ok = renders_as_sampled(sample(first_valid_).get());
            trust().learn(ok);
            if (!ok) return false;
        }
        if (nat_ != DistinctRows::kNoId && !nat_trust.confirmed()) {
            PyRef cell = sample(nat_);
            nat_trust.learn(!cell_number(cell.get()) && str_is(cell.get(), "NaT"));
        }
        cells_ = std::make_unique<PeriodCells>(std::move(sample), values_, renderable_, freq_,
                                               nat_trust.confirmed());
        return true;
    }

  private:
    RenderTrust& trust() const { return freq_trust[static_cast<std::size_t>(freq_)]; }

    bool renders_as_sampled(PyObject* cell) const {
        if (!is_exactly(cell, "pandas", "Period")) return false;
        char buf[kTimeTextMax];
        const std::size_t n =
            period_text(static_cast<std::int64_t>(values_[first_valid_]), freq_, buf);
        return str_is(cell, std::string_view(buf, n));
    }

    // Whether str(cell) is `text`; a failing str() is ordinary (the cells then say so).
    static bool str_is(PyObject* cell, std::string_view text) {
        PyRef s(PyObject_Str(cell));
        if (!s) {
            clear_ordinary_error();
            return false;
        }
        return str_text_copy(s.get()) == text;
    }

    std::vector<std::uint64_t> values_;
    PeriodFreq freq_;
    std::vector<std::uint8_t> renderable_;  // rendered here, not boxed (NaT aside)
    std::uint32_t first_valid_ = DistinctRows::kNoId, nat_ = DistinctRows::kNoId;
};

}  // namespace

std::unique_ptr<ColumnPlan> period_plan(DistinctWords values, PeriodFreq freq) {
    if (freq_trust[static_cast<std::size_t>(freq)].refuted())
        return std::make_unique<BoxedPlan>(std::move(values.rows));
    return std::make_unique<PeriodPlan>(std::move(values), freq);
}

}  // namespace vandra
