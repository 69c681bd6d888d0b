#include "patterns/case_rules.hpp"

#include <algorithm>
#include <vector>

#include "common/refs.hpp"

namespace halvec::core {
namespace {

constexpr char32_t kMaxCodePoint = 0x10FFFF;
constexpr char32_t kBmpEnd = 0xFFFF;
// Sets whose members span more characters than this are left to `re`:
// folding them reads every member.
constexpr std::size_t kMaxFoldedMembers = std::size_t{1} << 18;

char32_t lower(char32_t c) { return Py_UNICODE_TOLOWER(static_cast<Py_UCS4>(c)); }
char32_t upper(char32_t c) { return Py_UNICODE_TOUPPER(static_cast<Py_UCS4>(c)); }
bool cased(char32_t c) { return c != lower(c) || c != upper(c); }
char32_t ascii_lower(char32_t c) { return c >= U'A' && c <= U'Z' ? c + 32 : c; }
bool ascii_letter(char32_t c) { return (c >= U'A' && c <= U'Z') || (c >= U'a' && c <= U'z'); }

std::uint8_t classes_of(char32_t c) {
    const auto ch = static_cast<Py_UCS4>(c);
    return static_cast<std::uint8_t>((Py_UNICODE_ISALNUM(ch) || c == U'_' ? 1 : 0) |
                                     (Py_UNICODE_ISDECIMAL(ch) ? 2 : 0) | (Py_UNICODE_ISSPACE(ch) ? 4 : 0));
}

class Rules final : public engine::CaseFolding {
public:
    bool literal(char32_t c, bool ascii, engine::CharSet& out) const override {
        if (ascii) {
            out.add(c);
            if (ascii_letter(c)) out.add(ascii_lower(c) == c ? c - 32 : c + 32);
            out.normalize();
            return true;
        }
        if (!ready()) return false;
        if (!cased(c)) {
            out.add(c);
            return true;
        }
        std::vector<char32_t> images{lower(c)};
        add_equivalents(images);
        members_of(images, out);
        return true;
    }

    // Members inside the Basic Multilingual Plane fold as described above
    // (the lower case of a character is looked up among the members' lower
    // cases). `re` keeps the others apart, read against a character's lower
    // case: one written alone matches a character whose lower case it is;
    // a range, one whose lower case, or that lower case's upper case, lies
    // in it.
    bool set(const engine::CharSet& items, const engine::Vector<std::uint8_t>& written_as_range, bool ascii,
             engine::CharSet& out) const override {
        out.categories = items.categories;
        out.negated = items.negated;
        if (ascii) {
            for (const engine::CharRange& r : items.ranges) {
                out.add(r.first, r.last);
                // The other case of the ASCII letters in the range.
                for (char32_t c = std::max<char32_t>(r.first, U'A'); c <= std::min<char32_t>(r.last, U'z'); ++c) {
                    if (ascii_letter(c)) out.add(ascii_lower(c) == c ? c - 32 : c + 32);
                }
            }
            out.normalize();
            return true;
        }
        if (!ready() || (items.categories && !categories_fold_)) return false;
        // A set of one character, [c] or [^c], is read as the literal c.
        if (items.ranges.size() == 1 && !written_as_range[0] && !items.categories) {
            return literal(items.ranges[0].first, false, out);
        }
        std::size_t members = 0;
        bool any_cased = false;
        std::vector<char32_t> images;
        std::vector<engine::CharRange> wide_alone, wide_ranges;
        for (std::size_t i = 0; i < items.ranges.size(); ++i) {
            const engine::CharRange& r = items.ranges[i];
            members += std::min<char32_t>(r.last, kBmpEnd) >= r.first ? std::min<char32_t>(r.last, kBmpEnd) - r.first + 1 : 0;
            if (members > kMaxFoldedMembers) return false;
            for (char32_t c = r.first; c <= r.last && c <= kBmpEnd; ++c) {
                any_cased = any_cased || cased(c);
                images.push_back(lower(c));
            }
            if (r.last > kBmpEnd) {
                any_cased = true;
                (written_as_range[i] ? wide_ranges : wide_alone).push_back(r);
            }
        }
        if (!any_cased) {
            // Nothing in it has case: the set is read as written.
            out.ranges = items.ranges;
            out.normalize();
            return true;
        }
        add_equivalents(images);
        members_of(images, out);
        for (const engine::CharRange& r : wide_alone) members_of(std::vector<char32_t>{r.first}, out);
        for (const engine::CharRange& r : wide_ranges) add_wide_range(r, out);
        out.normalize();
        return true;
    }

private:
    // Builds the tables on first use; false when `re`'s list cannot be read.
    bool ready() const {
        if (state_ == State::Unknown) build();
        return state_ == State::Ready;
    }

    void build() const {
        state_ = State::Unavailable;
        std::vector<std::pair<char32_t, std::vector<char32_t>>> extra;
        PyObject* name = PyUnicode_FromString("re._casefix");
        if (!name) {
            PyErr_Clear();
            return;
        }
        const Owned module = Owned::steal(PyImport_GetModule(name));
        Py_DECREF(name);
        if (!module) {
            PyErr_Clear();
            return;
        }
        const Owned table = Owned::steal(PyObject_GetAttrString(module.get(), "_EXTRA_CASES"));
        if (!table || !PyDict_CheckExact(table.get())) {
            PyErr_Clear();
            return;
        }
        // An exact dict of ints to tuples of ints: reading it runs no Python code.
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(table.get(), &pos, &key, &value)) {
            if (!PyLong_CheckExact(key) || !PyTuple_CheckExact(value)) return;
            const long lo = PyLong_AsLong(key);
            if (lo < 0 || lo > static_cast<long>(kMaxCodePoint)) return;
            std::vector<char32_t> others;
            for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(value); ++i) {
                PyObject* item = PyTuple_GET_ITEM(value, i);
                const long c = PyLong_CheckExact(item) ? PyLong_AsLong(item) : -1;
                if (c < 0 || c > static_cast<long>(kMaxCodePoint)) return;
                others.push_back(static_cast<char32_t>(c));
            }
            extra.emplace_back(static_cast<char32_t>(lo), std::move(others));
        }
        std::sort(extra.begin(), extra.end());
        // Every character whose lower case is another one, by that lower case;
        // and whether \w, \d and \s read the same on every cased character and
        // its lower case, as the engine assumes when a folded set holds them.
        std::vector<std::pair<char32_t, char32_t>> inverse;
        bool categories_fold = true;
        for (char32_t c = 0; c <= kMaxCodePoint; ++c) {
            const char32_t l = lower(c);
            if (l != c) inverse.emplace_back(l, c);
            if ((l != c || upper(c) != c) && classes_of(c) != classes_of(l)) categories_fold = false;
        }
        std::sort(inverse.begin(), inverse.end());
        std::vector<char32_t> cased_chars;
        for (char32_t c = 0; c <= kMaxCodePoint; ++c) {
            if (cased(c)) cased_chars.push_back(c);
        }
        cased_ = std::move(cased_chars);
        extra_ = std::move(extra);
        inverse_ = std::move(inverse);
        categories_fold_ = categories_fold;
        state_ = State::Ready;
    }

    // Adds to `images` the characters `re` holds equivalent to each of them.
    void add_equivalents(std::vector<char32_t>& images) const {
        const std::size_t n = images.size();
        for (std::size_t i = 0; i < n; ++i) {
            const auto it = std::lower_bound(extra_.begin(), extra_.end(), images[i],
                                             [](const auto& e, char32_t x) { return e.first < x; });
            if (it != extra_.end() && it->first == images[i]) images.insert(images.end(), it->second.begin(), it->second.end());
        }
        std::sort(images.begin(), images.end());
        images.erase(std::unique(images.begin(), images.end()), images.end());
    }

    // The characters whose lower case is one of `images` (sorted), into `out`.
    void members_of(const std::vector<char32_t>& images, engine::CharSet& out) const {
        for (char32_t m : images) {
            if (std::binary_search(images.begin(), images.end(), lower(m))) out.add(m);
            const auto first = std::lower_bound(inverse_.begin(), inverse_.end(), std::make_pair(m, char32_t{0}));
            for (auto it = first; it != inverse_.end() && it->first == m; ++it) out.add(it->second);
        }
        out.normalize();
    }

    // The characters x with lower(x) or upper(lower(x)) in `r`: the range,
    // less its cased characters that fold out of it, and the cased
    // characters outside it that fold in. Only cased characters move.
    void add_wide_range(const engine::CharRange& r, engine::CharSet& out) const {
        auto in = [&](char32_t c) { return c >= r.first && c <= r.last; };
        auto member = [&](char32_t x) { return in(lower(x)) || in(upper(lower(x))); };
        char32_t from = r.first;
        for (char32_t x : cased_) {
            if (in(x)) {
                if (member(x)) continue;
                if (x > from) out.add(from, x - 1);
                from = x + 1;
            } else if (member(x)) {
                out.add(x);
            }
        }
        if (from <= r.last) out.add(from, r.last);
    }

    enum class State { Unknown, Ready, Unavailable };
    mutable State state_ = State::Unknown;
    mutable std::vector<std::pair<char32_t, std::vector<char32_t>>> extra_;
    mutable std::vector<std::pair<char32_t, char32_t>> inverse_;
    mutable std::vector<char32_t> cased_;  // sorted
    mutable bool categories_fold_ = false;
};

}  // namespace

const engine::CaseFolding& case_rules() {
    static const Rules rules;
    return rules;
}

}  // namespace halvec::core
