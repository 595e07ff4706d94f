// The type registry: the module's eight types, registration of same-named groups, the
// move-to-front cast lookup, casts with a converter and client-data propagation. Groups
// registered here carry test-only names, so the module's own types are never touched.
#include "embedded_python.h"  // first: the interpreter's headers must precede the system's

#include <cstring>
#include <string>
#include <vector>

#include "binding/live_references.h"
#include "binding/pointer_string.h"
#include "binding/type_registry.h"

namespace qn4t_test {
namespace {

using qn4t::CastEntry;
using qn4t::TypeDescriptor;

using Names = std::vector<std::string>;

// A descriptor or cast entry with every link still null.
constexpr TypeDescriptor Entry(const char *name, void *(*converter)(void *) = nullptr) {
    return {name, converter, nullptr, nullptr, nullptr, nullptr};
}
constexpr TypeDescriptor kEnd = {nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};

std::vector<TypeDescriptor *> Registry() {
    std::vector<TypeDescriptor *> all;
    for (TypeDescriptor *d = qn4t::TypeRegistryHead(); d; d = d->prev) all.push_back(d);
    return all;
}

bool Registered(const TypeDescriptor *descriptor) {
    for (TypeDescriptor *d : Registry())
        if (d == descriptor) return true;
    return false;
}

// The names of a descriptor's equivalence list, front first; a broken back link is reported.
Names EntryNames(TypeDescriptor *descriptor) {
    Names names;
    TypeDescriptor *before = descriptor;
    for (CastEntry *e = descriptor->next; e; before = e, e = e->next) {
        EXPECT_EQ(e->prev, before) << "back link of " << e->name;
        names.push_back(e->name);
        if (names.size() > 32) break;  // a cycle
    }
    return names;
}

// A Python object that stands for a shadow class; never released, like registered classes.
PyObject *Marker(const char *text) { return text_from(text); }

class TypeRegistry : public ::testing::Test {
protected:
    void SetUp() override { Module(); }
};

TEST_F(TypeRegistry, ModuleTypesAcceptExactlyThemselves) {
    const char *const names[][2] = {
        {"_p_char", "char *"},
        {"_p_qn4tGeneric_Action_Header", "qn4tGeneric_Action_Header *"},
        {"_p_qn4tGeneric_Action_Detail_Header", "qn4tGeneric_Action_Detail_Header *"},
        {"_p_gzFile", "gzFile *"},
        {"_p_qn4tGeneric_Damage_Details", "qn4tGeneric_Damage_Details *"},
        {"_p_qn4tGeneric_Healing_Details", "qn4tGeneric_Healing_Details *"},
        {"_p_qn4tGeneric_StatMod_Details", "qn4tGeneric_StatMod_Details *"},
        {"_p_qn4tGeneric_StatMod_Stat_Details", "qn4tGeneric_StatMod_Stat_Details *"}};
    static_assert(sizeof names / sizeof names[0] == qn4t::kTypeSlotCount, "one row per slot");
    for (int slot = 0; slot < qn4t::kTypeSlotCount; ++slot) {
        TypeDescriptor *d = qn4t::TypeTable[slot];
        ASSERT_NE(d, nullptr) << slot;
        EXPECT_STREQ(d->name, names[slot][0]);
        EXPECT_STREQ(d->readable_name, names[slot][1]);
        EXPECT_EQ(EntryNames(d), Names{names[slot][0]});
        EXPECT_EQ(d->next->converter, nullptr) << d->name;
        EXPECT_EQ(d->next->readable_name, nullptr) << d->name;
        EXPECT_TRUE(Registered(d)) << d->name;
        if (slot > 0) {
            EXPECT_EQ(d->prev, qn4t::TypeTable[slot - 1]) << "registered in slot order";
        }
    }
}

TEST_F(TypeRegistry, NewNameBecomesTheHeadWithItsEntriesInGroupOrder) {
    static TypeDescriptor group[] = {Entry("_p_TestFresh"), Entry("_p_TestFresh"),
                                     Entry("_p_TestFreshOther"), kEnd};
    TypeDescriptor *const old_head = qn4t::TypeRegistryHead();
    EXPECT_EQ(qn4t::RegisterType(group), &group[0]);
    EXPECT_EQ(qn4t::TypeRegistryHead(), &group[0]);
    EXPECT_EQ(group[0].prev, old_head);
    EXPECT_EQ(EntryNames(&group[0]), (Names{"_p_TestFresh", "_p_TestFreshOther"}));
}

TEST_F(TypeRegistry, SameNamedGroupJoinsTheEarlierDescriptor) {
    static TypeDescriptor first[] = {Entry("_p_TestShared"), Entry("_p_TestShared"), Entry("_p_TestSharedA"), kEnd};
    static TypeDescriptor second[] = {Entry("_p_TestShared"), Entry("_p_TestSharedB"), Entry("_p_TestSharedC"), kEnd};
    static PyObject *const shadow = Marker("shadow of _p_TestShared");
    ASSERT_EQ(qn4t::RegisterType(first), &first[0]);
    first[0].client_data = shadow;
    const std::vector<TypeDescriptor *> before = Registry();

    EXPECT_EQ(qn4t::RegisterType(second), &first[0]);

    EXPECT_EQ(Registry(), before) << "the registry must not grow";
    EXPECT_FALSE(Registered(&second[0]));
    EXPECT_EQ(second[0].client_data, shadow) << "the earlier class is copied into the new group";
    EXPECT_EQ(EntryNames(&first[0]),
              (Names{"_p_TestSharedB", "_p_TestSharedC", "_p_TestShared", "_p_TestSharedA"}));
}

// A lookup sequence over one list: which name is asked for and the list order afterwards.
struct LookupStep {
    const char *name;  // null: look up with no expected type
    bool found;
    Names order_after;
};

TEST_F(TypeRegistry, FindCastEntryMovesTheHitToTheFront) {
    static TypeDescriptor group[] = {Entry("_p_TestFind"), Entry("_p_TestFind"), Entry("_p_TestFindA"),
                                     Entry("_p_TestFindB"), Entry("_p_TestFindC"), kEnd};
    TypeDescriptor *const d = qn4t::RegisterType(group);
    const LookupStep steps[] = {
        {"_p_TestFindC", true, {"_p_TestFindC", "_p_TestFind", "_p_TestFindA", "_p_TestFindB"}},
        {"_p_TestFindC", true, {"_p_TestFindC", "_p_TestFind", "_p_TestFindA", "_p_TestFindB"}},
        {"_p_TestFindA", true, {"_p_TestFindA", "_p_TestFindC", "_p_TestFind", "_p_TestFindB"}},
        {"_p_TestFindB", true, {"_p_TestFindB", "_p_TestFindA", "_p_TestFindC", "_p_TestFind"}},
        {"_p_TestFindD", false, {"_p_TestFindB", "_p_TestFindA", "_p_TestFindC", "_p_TestFind"}},
        {"_p_TestFin", false, {"_p_TestFindB", "_p_TestFindA", "_p_TestFindC", "_p_TestFind"}},
        {"_p_TestFindCC", false, {"_p_TestFindB", "_p_TestFindA", "_p_TestFindC", "_p_TestFind"}},
        {"_p_TestFind", true, {"_p_TestFind", "_p_TestFindB", "_p_TestFindA", "_p_TestFindC"}},
    };
    for (const LookupStep &step : steps) {
        CastEntry *hit = qn4t::FindCastEntry(step.name, d);
        if (step.found) {
            ASSERT_NE(hit, nullptr) << step.name;
            EXPECT_STREQ(hit->name, step.name);
            EXPECT_EQ(d->next, hit);
        } else {
            EXPECT_EQ(hit, nullptr) << step.name;
        }
        EXPECT_EQ(EntryNames(d), step.order_after) << "after looking up " << step.name;
    }
    EXPECT_EQ(qn4t::FindCastEntry("_p_TestFind", nullptr), nullptr);
}

// A record type that contains its base at an offset: the converter finds the base.
struct TestDerived {
    long tag;
    double base;
};
void *DerivedToBase(void *derived) { return &static_cast<TestDerived *>(derived)->base; }

TEST_F(TypeRegistry, ApplyCastUsesTheConverterWhenThereIsOne) {
    TestDerived derived{};
    const CastEntry with = Entry("_p_TestDerived", DerivedToBase);
    const CastEntry without = Entry("_p_TestBase");
    EXPECT_EQ(qn4t::ApplyCast(&with, &derived), &derived.base);
    EXPECT_EQ(qn4t::ApplyCast(&without, &derived), &derived);
}

TEST_F(TypeRegistry, ConversionAppliesTheCastBeforeCheckingTheLiveObject) {
    static TypeDescriptor base[] = {Entry("_p_TestBase"), Entry("_p_TestBase"),
                                    Entry("_p_TestDerived", DerivedToBase), kEnd};
    TypeDescriptor *const d = qn4t::RegisterType(base);
    TestDerived derived{};
    ASSERT_TRUE(qn4t::live_references().add(&derived.base, d));

    Ref as_derived(qn4t::NewPointerObject(&derived, &base[2], 0));  // "_<&derived>_p_TestDerived"
    void *pointer = nullptr;
    EXPECT_EQ(qn4t::ConvertPointer(as_derived.get(), &pointer, d, qn4t::kRaiseOnMismatch), 0) << TakeError();
    EXPECT_EQ(pointer, &derived.base);
    // The same address under the base's own name is taken as is, and nothing lives there.
    Ref as_base(qn4t::NewPointerObject(&derived, d, 0));
    EXPECT_EQ(qn4t::ConvertPointer(as_base.get(), &pointer, d, qn4t::kRaiseOnMismatch), -1);
    EXPECT_EQ(TakeError(), "TypeError: Type error. Expected _p_TestBase");
    qn4t::live_references().remove(&derived.base);
}

TEST_F(TypeRegistry, SetTypeClientDataReachesSameNamedTypesWithoutConverterAndStopsOnCycles) {
    // A accepts B (plain) and C (through a converter); B accepts A back: a cycle.
    static TypeDescriptor a[] = {Entry("_p_TestClientA"), Entry("_p_TestClientA"), Entry("_p_TestClientB"),
                                 Entry("_p_TestClientC", DerivedToBase), kEnd};
    static TypeDescriptor b[] = {Entry("_p_TestClientB"), Entry("_p_TestClientB"), Entry("_p_TestClientA"), kEnd};
    static TypeDescriptor c[] = {Entry("_p_TestClientC"), Entry("_p_TestClientC"), kEnd};
    static PyObject *const first = Marker("first class");
    static PyObject *const second = Marker("second class");
    TypeDescriptor *const da = qn4t::RegisterType(a);
    TypeDescriptor *const db = qn4t::RegisterType(b);
    TypeDescriptor *const dc = qn4t::RegisterType(c);

    qn4t::SetTypeClientData(da, first);
    EXPECT_EQ(da->client_data, first);
    EXPECT_EQ(db->client_data, first);
    EXPECT_EQ(dc->client_data, nullptr) << "an entry with a converter is not followed";

    qn4t::SetTypeClientData(db, second);
    EXPECT_EQ(db->client_data, second);
    EXPECT_EQ(da->client_data, second);
    EXPECT_EQ(dc->client_data, nullptr);

    qn4t::SetTypeClientData(dc, first);
    EXPECT_EQ(dc->client_data, first);
    EXPECT_EQ(da->client_data, second) << "C names only itself";
}

}  // namespace
}  // namespace qn4t_test
