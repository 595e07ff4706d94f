// Prints the record field tables and the action file's format facts as a Python module,
// so that the Python-side classes and the tools learn each record's fields, kinds and
// sizes, and how records follow one another in a file, from the one C++ declaration.
#include <cstdio>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "core/action_file.h"
#include "core/parallel_deflate.h"
#include "core/record_types.h"
#include "core/value_kinds.h"
#include "interface/json_form.h"

namespace {

using qn4t::Layout;

// A field's kind in the layout file: an integer kind's tag (core/value_kinds.h, where a type
// without a row does not compile), "text" for an owned text, "chars" for a fixed array.
template <class V>
const char *kind_of() {
    if constexpr (std::is_integral_v<V>) return qn4t::IntegerKind<V>::tag;
    else if constexpr (std::is_pointer_v<V>) return "text";
    else {
        static_assert(std::is_array_v<V>, "a field is an integer, an owned text or a fixed array");
        return "chars";
    }
}

template <class F>
using ValueOf = typename std::decay_t<F>::value;

// A Python string literal of a name (names are identifiers: nothing to escape).
std::string quoted(std::string_view name) { return "\"" + std::string(name) + "\""; }

// The name of the field of `table` whose member is `member`; a member that is not in the
// table does not compile.
template <class Table, class M>
constexpr std::string_view name_of(const Table &table, M member) {
    std::string_view found;
    qn4t::for_each_field(table, [&](const auto &f) {
        if constexpr (std::is_same_v<std::remove_const_t<decltype(std::decay_t<decltype(f)>::member)>, M>)
            if (f.member == member) found = f.name;
    });
    return found;
}

#define QN4T_FIELD_NAME(table, member)                                                 \
    [] {                                                                               \
        constexpr std::string_view name = name_of(table, member);                      \
        static_assert(!name.empty(), #member " is not a field of " #table);            \
        return name;                                                                   \
    }()

// Items as a Python tuple: "(a, b)", and "(a,)" for one.
std::string tuple_of(const std::vector<std::string> &items) {
    std::string out = "(";
    for (const std::string &item : items) out += (out.size() > 1 ? ", " : "") + item;
    return out + (items.size() == 1 ? ",)" : ")");
}

// The names of a table's fields as a Python tuple.
template <class Table>
std::string names_of(const Table &table) {
    std::vector<std::string> names;
    qn4t::for_each_field(table, [&](const auto &f) { names.push_back(quoted(f.name)); });
    return tuple_of(names);
}

template <class L, class = void>
struct IsDetailBody : std::false_type {};
template <class L>
struct IsDetailBody<L, std::void_t<decltype(L::detail_type)>> : std::true_type {};

template <class L, class = void>
struct HasEntries : std::false_type {};
template <class L>
struct HasEntries<L, std::void_t<decltype(L::entry_count), typename L::Entry>> : std::true_type {};

template <class L, class = void>
struct HasClassName : std::false_type {};
template <class L>
struct HasClassName<L, std::void_t<decltype(L::class_name)>> : std::true_type {};

template <class R>
void print_record() {
    std::printf("    (%s, %zu, (\n", quoted(Layout<R>::name).c_str(), qn4t::fixed_part_size<R>());
    qn4t::for_each_field(Layout<R>::fields, [](const auto &f) {
        std::printf("        (%s, \"%s\"),\n", quoted(f.name).c_str(), kind_of<ValueOf<decltype(f)>>());
    });
    std::printf("    )),\n");
}

void print_layout() {
    std::printf("# Each entry: (record type, bytes in the file, ((field, kind), ...)); the bytes of\n");
    std::printf("# the action header are those of its head.\n");
    std::printf("LAYOUT = (\n");
    qn4t::for_each_record_type([](auto tag) { print_record<typename decltype(tag)::type>(); });
    std::printf(")\n");
    std::printf("SPELL_ACTION_TYPE = %d\n", qn4t::HeaderLayout::Record::kSpellType);
    std::printf("TRAILER_SIZE = %zu\n", qn4t::kTrailerSize);
}

// Calls fn(V{}) once for each integer type that a field has, in the order they first appear.
template <class Fn>
void for_each_integer_kind(Fn &&fn) {
    std::vector<std::string> seen;
    qn4t::for_each_record_type([&](auto tag) {
        using R = typename decltype(tag)::type;
        qn4t::for_each_field(Layout<R>::fields, [&](const auto &f) {
            using V = ValueOf<decltype(f)>;
            if constexpr (std::is_integral_v<V>) {
                const std::string kind = kind_of<V>();
                for (const std::string &known : seen)
                    if (known == kind) return;
                seen.push_back(kind);
                fn(V{});
            }
        });
    });
}

// Every integer kind that a field has: its bytes in the file and whether it is signed; the
// values it holds and its words in a message (core/value_kinds.h).
void print_integer_kinds() {
    std::printf("\n# Integer kinds: kind -> (bytes in the file, signed). A \"chars\" field is a fixed\n");
    std::printf("# character array as wide as WIDTHS says; a \"text\" field is as long as the head\n");
    std::printf("# field that TEXTS pairs it with says.\n");
    std::printf("INTEGER_KINDS = {\n");
    for_each_integer_kind([](auto value) {
        using V = decltype(value);
        std::printf("    \"%s\": (%zu, %s),\n", kind_of<V>(), sizeof(V), std::is_signed_v<V> ? "True" : "False");
    });
    std::printf("}\n");
    std::printf("# The values each integer kind holds and its words in a message: kind -> (lowest,\n");
    std::printf("# highest, words).\n");
    std::printf("INTEGER_RANGES = {\n");
    for_each_integer_kind([](auto value) {
        using K = qn4t::IntegerKind<decltype(value)>;
        std::printf("    \"%s\": (%lld, %lld, \"%s\"),\n", K::tag, K::low, K::high, K::words);
    });
    std::printf("}\n");
}

// The fields that follow what they count in a whole action (the JSON form leaves them out,
// no constructor takes them): record type -> (field, ...), for the records that have any.
void print_derived_counts() {
    std::printf("# The fields that follow what they count (a text's length, the action's count of\n");
    std::printf("# its details, a body's count of its entries): record type -> (field, ...).\n");
    std::printf("DERIVED_COUNTS = {\n");
    qn4t::for_each_record_type([](auto tag) {
        using R = typename decltype(tag)::type;
        std::vector<std::string> derived;
        qn4t::for_each_field(Layout<R>::fields, [&](const auto &f) {
            using F = std::decay_t<decltype(f)>;
            if constexpr (!std::is_pointer_v<typename F::value> && !std::is_array_v<typename F::value>)
                if constexpr (qn4t::is_derived_count<F::member>()) derived.push_back(quoted(f.name));
        });
        if (!derived.empty())
            std::printf("    %s: %s,\n", quoted(Layout<R>::name).c_str(), tuple_of(derived).c_str());
    });
    std::printf("}\n");
}

// A detail's body size, as the file codec computes it: detail type -> (bytes of the body
// record, bytes of each entry record that follows it, 0 where none do).
void print_body_sizes() {
    std::printf("# The bytes of a detail's body: detail type -> (bytes of the body record, bytes of\n");
    std::printf("# each entry that follows it); a detail of another type is as long as its bytes.\n");
    std::printf("BODY_SIZES = {\n");
    qn4t::for_each_body_type([](auto tag) {
        using R = typename decltype(tag)::type;
        const std::size_t record = qn4t::body_wire_size<R>(0);
        std::printf("    %d: (%zu, %zu),\n", static_cast<int>(Layout<R>::detail_type), record,
                    qn4t::body_wire_size<R>(1) - record);
    });
    std::printf("}\n");
}

// The members of the JSON form that are not record fields, and the limits that callers
// check before the native side would refuse.
void print_form_and_limits() {
    std::printf("\n# The document form's members beside the record fields.\n");
    std::printf("DETAILS_MEMBER = %s\n", quoted(qn4t::kDetailsMember).c_str());
    std::printf("HEADER_MEMBER = %s\n", quoted(qn4t::kHeaderMember).c_str());
    std::printf("BODY_MEMBER = %s\n", quoted(qn4t::kBodyMember).c_str());
    std::printf("STATS_MEMBER = %s\n", quoted(qn4t::kStatsMember).c_str());
    std::printf("# The most spaces per level the JSON text is indented by.\n");
    std::printf("MOST_INDENT = %ld\n", qn4t::kMostIndent);
    std::printf("# The most threads a writer compresses on.\n");
    std::printf("MOST_THREADS = %u\n", qn4t::kMostWriteThreads);
}

void print_widths() {
    std::printf("# Bytes in the file of every field but the texts: record type -> {field: bytes}.\n");
    std::printf("WIDTHS = {\n");
    qn4t::for_each_record_type([](auto tag) {
        using R = typename decltype(tag)::type;
        std::printf("    %s: {\n", quoted(Layout<R>::name).c_str());
        qn4t::for_each_field(Layout<R>::fields, [](const auto &f) {
            using F = std::decay_t<decltype(f)>;
            if constexpr (!std::is_pointer_v<typename F::value>)
                std::printf("        %s: %zu,\n", quoted(f.name).c_str(), qn4t::wire_width<F>());
        });
        std::printf("    },\n");
    });
    std::printf("}\n");
}

void print_titles() {
    std::printf("# Each record type in words.\n");
    std::printf("TITLES = {\n");
    qn4t::for_each_record_type([](auto tag) {
        using L = Layout<typename decltype(tag)::type>;
        std::printf("    %s: %s,\n", quoted(L::name).c_str(), quoted(L::title).c_str());
    });
    std::printf("}\n");
}

// How records follow one another in an action file.
void print_action_file() {
    using H = qn4t::HeaderLayout;
    using D = qn4t::DetailHeaderLayout;
    std::printf("\n# An action file: action headers, each followed by DETAIL_COUNT_FIELD details.\n");
    std::printf("# An action header is its head (HEAD_SIZE bytes), its texts, and, when its\n");
    std::printf("# ACTION_TYPE_FIELD is SPELL_ACTION_TYPE, the spell trailer (TRAILER_SIZE bytes).\n");
    std::printf("HEADER = %s\n", quoted(H::name).c_str());
    std::printf("HEAD_SIZE = %zu\n", qn4t::kHeadSize);
    std::printf("HEAD_FIELDS = %s\n", names_of(H::head).c_str());
    std::printf("# Each text, in file order, with the head field that holds its length in bytes.\n");
    std::vector<std::string> texts;
    qn4t::for_each_field(H::texts, [&](const auto &t) {
        texts.push_back(tuple_of({quoted(t.name), quoted(name_of(H::head, t.length))}));
    });
    std::printf("TEXTS = %s\n", tuple_of(texts).c_str());
    std::printf("TRAILER_FIELDS = %s\n", names_of(H::trailer).c_str());
    std::printf("ACTION_ID_FIELD = %s\n", quoted(QN4T_FIELD_NAME(H::head, H::identity)).c_str());
    std::printf("ACTION_TYPE_FIELD = %s\n", quoted(QN4T_FIELD_NAME(H::head, H::action_type)).c_str());
    std::printf("DETAIL_COUNT_FIELD = %s\n", quoted(QN4T_FIELD_NAME(H::head, H::detail_count)).c_str());

    std::printf("# A detail: a detail header, then the body that its DETAIL_TYPE_FIELD names, whose\n");
    std::printf("# bytes its DETAIL_LENGTH_FIELD counts.\n");
    std::printf("DETAIL_HEADER = %s\n", quoted(D::name).c_str());
    std::printf("DETAIL_TYPE_FIELD = %s\n", quoted(QN4T_FIELD_NAME(D::fields, D::body_type)).c_str());
    std::printf("DETAIL_LENGTH_FIELD = %s\n", quoted(QN4T_FIELD_NAME(D::fields, D::body_length)).c_str());
    std::printf("# Detail type -> body record type (core/record_types.h's DetailBodyTypes).\n");
    std::printf("DETAIL_BODIES = {\n");
    qn4t::for_each_body_type([](auto tag) {
        using L = Layout<typename decltype(tag)::type>;
        static_assert(IsDetailBody<L>::value, "a listed body has a detail type");
        std::printf("    %d: %s,\n", static_cast<int>(L::detail_type), quoted(L::name).c_str());
    });
    std::printf("}\n");
    std::printf("# A body followed by entries: body record type -> (the body's field that counts\n");
    std::printf("# them, entry record type).\n");
    std::printf("BODY_ENTRIES = {\n");
    qn4t::for_each_record_type([](auto tag) {
        using L = Layout<typename decltype(tag)::type>;
        if constexpr (HasEntries<L>::value)
            std::printf("    %s: (%s, %s),\n", quoted(L::name).c_str(),
                        quoted(QN4T_FIELD_NAME(L::fields, L::entry_count)).c_str(),
                        quoted(Layout<typename L::Entry>::name).c_str());
    });
    std::printf("}\n");
    std::printf("# The whole-action class of each body and entry record: record type -> class.\n");
    std::printf("CLASS_NAMES = {\n");
    qn4t::for_each_record_type([](auto tag) {
        using L = Layout<typename decltype(tag)::type>;
        if constexpr (HasClassName<L>::value)
            std::printf("    %s: %s,\n", quoted(L::name).c_str(), quoted(L::class_name).c_str());
    });
    std::printf("}\n");
}

}  // namespace

int main() {
    std::printf("# Generated at build time from the record field tables (core/records.h) by\n");
    std::printf("# tools/layout_dump.cpp, for the Python-side classes and the tools.\n");
    print_layout();
    print_integer_kinds();
    print_widths();
    print_titles();
    print_action_file();
    print_derived_counts();
    print_body_sizes();
    print_form_and_limits();
    return 0;
}
