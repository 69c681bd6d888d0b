#include "engine/alphabet.hpp"

#include <algorithm>
#include <unordered_map>

namespace halvec::engine {
namespace {

// A namer's range opening or closing at `at`.
struct Event {
    char32_t at;
    std::int32_t namer;
    bool open;
};

struct SignatureHash {
    std::size_t operator()(const Vector<std::int32_t>& key) const noexcept {
        std::size_t h = 0xcbf29ce484222325ull;
        for (std::int32_t n : key) h = (h ^ static_cast<std::uint32_t>(n)) * 0x100000001b3ull;
        return h;
    }
};

using Signatures = std::unordered_map<Vector<std::int32_t>, std::int32_t, SignatureHash, std::equal_to<>,
                                      Allocator<std::pair<const Vector<std::int32_t>, std::int32_t>>>;

// Pieces no longer than this have their characters' properties read one by
// one; longer ones get a class for every combination.
constexpr char32_t kEnumeratedPiece = 256;

int combo_of(std::uint8_t flags) {
    return ((flags & kWord) ? 1 : 0) | ((flags & kDigit) ? 2 : 0) | ((flags & kSpace) ? 4 : 0);
}

std::uint8_t flags_of_combo(int combo) {
    return static_cast<std::uint8_t>(((combo & 1) ? kWord : 0) | ((combo & 2) ? kDigit : 0) |
                                     ((combo & 4) ? kSpace : 0));
}

}  // namespace

Alphabet::Alphabet(const Program& program, const Predicates& predicates) : predicates_(predicates) {
    const Vector<Inst>& insts = program.insts();
    for (const Inst& inst : insts) {
        if (inst.op == Inst::Op::Char) chars_.push_back(inst.ch);
    }
    std::sort(chars_.begin(), chars_.end());
    chars_.erase(std::unique(chars_.begin(), chars_.end()), chars_.end());
    const auto nchars = static_cast<std::int32_t>(chars_.size());

    Vector<Event> events;
    for (std::int32_t i = 0; i < nchars; ++i) {
        const char32_t c = chars_[static_cast<std::size_t>(i)];
        events.push_back({c, i, true});
        events.push_back({c + 1, i, false});
    }
    const Vector<CharSet>& sets = program.sets();
    for (std::size_t s = 0; s < sets.size(); ++s) {
        for (const CharRange& r : sets[s].ranges) {
            events.push_back({r.first, nchars + static_cast<std::int32_t>(s), true});
            events.push_back({r.last + 1, nchars + static_cast<std::int32_t>(s), false});
        }
    }
    std::sort(events.begin(), events.end(), [](const Event& a, const Event& b) { return a.at < b.at; });

    // Sweep the code space: between two event positions, the namers open
    // then are the piece's signature. Signature 0 is the empty one.
    Signatures signatures;
    Vector<std::int32_t> empty;
    signatures.emplace(empty, 0);
    signature_start_.push_back(0);
    signature_start_.push_back(0);
    Vector<std::int32_t> active;
    for (std::size_t i = 0; i < events.size();) {
        const char32_t at = events[i].at;
        for (; i < events.size() && events[i].at == at; ++i) {
            const auto it = std::lower_bound(active.begin(), active.end(), events[i].namer);
            if (events[i].open) active.insert(it, events[i].namer);
            else active.erase(it);
        }
        if (active.empty() || i == events.size()) continue;
        const char32_t last = events[i].at - 1;
        auto found = signatures.find(active);
        std::int32_t signature;
        if (found != signatures.end()) {
            signature = found->second;
        } else {
            signature = static_cast<std::int32_t>(signatures.size());
            namers_.insert(namers_.end(), active.begin(), active.end());
            signature_start_.push_back(static_cast<std::int32_t>(namers_.size()));
            signatures.emplace(active, signature);
        }
        if (!pieces_.empty() && pieces_.back().signature == signature && pieces_.back().last + 1 == at) {
            pieces_.back().last = last;
        } else {
            pieces_.push_back({at, last, signature});
        }
    }
    const std::size_t nsignatures = signatures.size();
    Signatures().swap(signatures);
    combo_class_.assign(nsignatures * kCombos, -1);

    // ASCII characters: a class per signature and full set of properties.
    for (char32_t c = 0; c < 128; ++c) {
        const std::uint32_t key = static_cast<std::uint32_t>(signature_of(c)) << 8 | flags_of(c);
        const auto it = std::lower_bound(ascii_keys_.begin(), ascii_keys_.end(), std::make_pair(key, std::int32_t{-1}));
        if (it != ascii_keys_.end() && it->first == key) {
            ascii_[c] = it->second;
            continue;
        }
        const auto cls = static_cast<std::int32_t>(flags_.size());
        flags_.push_back(flags_of(c));
        sides_.push_back(side_of(flags_of(c)));
        class_signature_.push_back(signature_of(c));
        ascii_keys_.insert(it, {key, cls});
        ascii_[c] = cls;
    }
    Vector<std::pair<std::uint32_t, std::int32_t>>().swap(ascii_keys_);
    for (char32_t c = 0; c < 128; ++c) lowered_ascii_[c] = ascii_[c >= U'A' && c <= U'Z' ? c + 32 : c];

    // Wider characters: by signature and the properties that vary among them.
    for (int combo = 0; combo < kCombos; ++combo) class_for(0, flags_of_combo(combo));
    for (const Piece& piece : pieces_) {
        if (piece.last < 128) continue;
        const char32_t first = std::max<char32_t>(piece.first, 128);
        if (piece.last - first < kEnumeratedPiece) {
            for (char32_t c = first; c <= piece.last; ++c) class_for(piece.signature, flags_of(c));
        } else {
            for (int combo = 0; combo < kCombos; ++combo) class_for(piece.signature, flags_of_combo(combo));
        }
    }

    // A "\n" that ends the text is a class of its own only where `$` can tell.
    if (program.context_mask() & kFinalSide) {
        final_newline_ = static_cast<int>(flags_.size());
        const std::uint8_t flags = flags_of(U'\n') | kFinalNewline;
        flags_.push_back(flags);
        sides_.push_back(side_of(flags));
        class_signature_.push_back(signature_of(U'\n'));
    } else {
        final_newline_ = ascii_[U'\n'];
    }

    literal_class_.assign(insts.size(), -1);
    for (std::size_t i = 0; i < insts.size(); ++i) {
        if (insts[i].op == Inst::Op::Char) literal_class_[i] = of(insts[i].ch);
    }
}

int Alphabet::class_for(int signature, std::uint8_t flags) {
    std::int32_t& cls = combo_class_[static_cast<std::size_t>(signature) * kCombos + combo_of(flags)];
    if (cls < 0) {
        cls = static_cast<std::int32_t>(flags_.size());
        flags_.push_back(flags);
        sides_.push_back(side_of(flags));
        class_signature_.push_back(signature);
    }
    return cls;
}

std::uint8_t Alphabet::flags_of(char32_t c) const {
    std::uint8_t f = 0;
    if (predicates_.is_word(c)) f |= kWord;
    if (predicates_.is_digit(c)) f |= kDigit;
    if (predicates_.is_space(c)) f |= kSpace;
    if (c == U'\n') f |= kNewline;
    if (c < 128) f |= kAscii;
    if (c == U' ' || (c >= U'\t' && c <= U'\r')) f |= kAsciiSpace;
    return f;
}

int Alphabet::signature_of(char32_t c) const {
    const auto it = std::upper_bound(pieces_.begin(), pieces_.end(), c,
                                     [](char32_t x, const Piece& p) { return x < p.first; });
    if (it == pieces_.begin()) return 0;
    const Piece& piece = *std::prev(it);
    return piece.last >= c ? piece.signature : 0;
}

int Alphabet::of_wide(char32_t c) const {
    return combo_class_[static_cast<std::size_t>(signature_of(c)) * kCombos + combo_of(flags_of(c))];
}

bool Alphabet::named_by(int cls, std::int32_t namer) const {
    const auto signature = static_cast<std::size_t>(class_signature_[static_cast<std::size_t>(cls)]);
    const auto first = namers_.begin() + signature_start_[signature];
    const auto last = namers_.begin() + signature_start_[signature + 1];
    return std::binary_search(first, last, namer);
}

bool Alphabet::accepts(const Program& program, std::size_t index, int cls) const {
    const Inst& inst = program.insts()[index];
    const std::uint8_t f = flags(cls);
    switch (inst.op) {
        case Inst::Op::Char:
            return literal_class_[index] == cls || (cls == final_newline_ && inst.ch == U'\n');
        case Inst::Op::Set: {
            const CharSet& set = program.sets()[static_cast<std::size_t>(inst.arg)];
            const bool in = named_by(cls, static_cast<std::int32_t>(chars_.size()) + inst.arg) ||
                            in_categories(set.categories, f);
            return in != set.negated;
        }
        case Inst::Op::Any: return !(f & kNewline);
        case Inst::Op::AnyAll: return true;
        default: return false;
    }
}

}  // namespace halvec::engine
