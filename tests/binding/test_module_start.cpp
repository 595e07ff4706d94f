// Module start from the native side: the method table's order, constants of every kind,
// the "swigvarlink" global-variable object with and without linked variables, and a second
// call of the entry point in the same process.
#include "embedded_python.h"  // first: the interpreter's headers must precede the system's

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "binding/constants.h"
#include "binding/pointer_string.h"
#include "binding/type_registry.h"
#include "binding/variable_link.h"

namespace qn4t_test {
namespace {

using qn4t::ConstantRow;

// ---- The method table ----

// A record type's rows: a setter and a getter per field in file order, then its life-cycle
// functions in the given order ("%" stands for the type's name).
template <class R>
void AppendRecordRows(std::vector<std::string> &names, std::vector<std::string> life_cycle) {
    const std::string type(qn4t::Layout<R>::name);
    qn4t::for_each_field(qn4t::Layout<R>::fields, [&](const auto &f) {
        names.push_back(type + "_" + std::string(f.name) + "_set");
        names.push_back(type + "_" + std::string(f.name) + "_get");
    });
    for (std::string &name : life_cycle) names.push_back(name.replace(name.find('%'), 1, type));
}

TEST(MethodTable, RowsComeInTheirDocumentedOrder) {
    std::vector<std::string> expected = {"qn4tGenericOpen", "qn4tGenericClose", "qn4tGenericSeek",
                                         "qn4tGenericEOF"};
    AppendRecordRows<qn4tGeneric_Action_Header>(
        expected, {"new_%", "delete_%", "%_read", "%_write", "%_swigregister"});
    const std::vector<std::string> detail_life_cycle = {"new_%", "%_read", "%_write", "delete_%",
                                                        "%_swigregister"};
    AppendRecordRows<qn4tGeneric_Action_Detail_Header>(expected, detail_life_cycle);
    AppendRecordRows<qn4tGeneric_Damage_Details>(expected, detail_life_cycle);
    AppendRecordRows<qn4tGeneric_Healing_Details>(expected, detail_life_cycle);
    AppendRecordRows<qn4tGeneric_StatMod_Details>(expected, detail_life_cycle);
    AppendRecordRows<qn4tGeneric_StatMod_Stat_Details>(expected, detail_life_cycle);
    ASSERT_EQ(expected.size(), 134u);

    std::vector<std::string> rows;
    const PyMethodDef *row = qn4t::MethodTable();
    for (; row->ml_name; ++row) {
        rows.push_back(row->ml_name);
        EXPECT_EQ(row->ml_flags, METH_VARARGS) << row->ml_name;
        EXPECT_EQ(row->ml_doc, nullptr) << row->ml_name;
    }
    EXPECT_EQ(row->ml_meth, nullptr) << "the end row is all null";
    EXPECT_EQ(rows, expected);
}
using qn4t::TypeDescriptor;

// ---- AddConstants ----

class AddConstantsTest : public ::testing::Test {
protected:
    void SetUp() override {
        Module();
        names_ = Namespace(
            "class Shadow(object):\n"
            "    def __init__(self, this): self.this = this\n");
        ASSERT_NE(names_, nullptr);
        shadowed_.client_data = PyDict_GetItemString(names_.get(), "Shadow");  // names_ holds it
    }
    PyObject *Value(PyObject *dictionary, const char *name) { return PyDict_GetItemString(dictionary, name); }

    // 15 characters of name: data strings of up to 492 bytes fit in 1000 characters.
    TypeDescriptor plain_ = {"_p_TestConstant", nullptr, "TestConstant *", nullptr, nullptr, nullptr};
    TypeDescriptor shadowed_ = {"_p_TestShadowed", nullptr, "TestShadowed *", nullptr, nullptr, nullptr};
    TypeDescriptor *plain_slot_ = &plain_;
    TypeDescriptor *shadowed_slot_ = &shadowed_;
    Ref names_;
};

TEST_F(AddConstantsTest, InstallsEveryKindAndSkipsWhatCannotBeMadeSilently) {
    int target = 0;
    const unsigned char bytes[] = {0xde, 0xad, 0xbe, 0xef};
    const std::vector<unsigned char> longest(492, 0x5a), too_long(493, 0x5a);
    const ConstantRow rows[] = {
        {qn4t::kIntConstant, "INT", -7, 0, nullptr, nullptr},
        {qn4t::kFloatConstant, "FLOAT", 0, 2.5, nullptr, nullptr},
        {qn4t::kStringConstant, "TEXT", 0, 0, "hello", nullptr},
        {qn4t::kPointerConstant, "POINTER", 0, 0, &target, &plain_slot_},
        {qn4t::kPointerConstant, "NULL_POINTER", 0, 0, nullptr, &plain_slot_},
        {qn4t::kPointerConstant, "SHADOWED", 0, 0, &target, &shadowed_slot_},
        {qn4t::kBinaryConstant, "DATA", 4, 0, bytes, &plain_slot_},
        {qn4t::kBinaryConstant, "LONGEST", 492, 0, longest.data(), &plain_slot_},
        {qn4t::kBinaryConstant, "TOO_LONG", 493, 0, too_long.data(), &plain_slot_},
        {42, "UNKNOWN_KIND", 1, 1.0, "x", &plain_slot_},
        {qn4t::kIntConstant, "AFTER_SKIPPED", 9, 0, nullptr, nullptr},
        {qn4t::kEndOfConstants, "END", 0, 0, nullptr, nullptr},
        {qn4t::kIntConstant, "BEYOND_END", 1, 0, nullptr, nullptr},
    };
    Ref dictionary(PyDict_New());
    qn4t::AddConstants(dictionary.get(), rows);
    EXPECT_EQ(TakeError(), "");

    PyObject *d = dictionary.get();
    EXPECT_EQ(PyDict_Size(d), 9);
    for (const char *absent : {"TOO_LONG", "UNKNOWN_KIND", "END", "BEYOND_END"})
        EXPECT_EQ(Value(d, absent), nullptr) << absent;

    ASSERT_TRUE(Value(d, "INT") && IsInt(Value(d, "INT")));
    EXPECT_EQ(long_of(Value(d, "INT")), -7);
    ASSERT_TRUE(Value(d, "FLOAT") && PyFloat_Check(Value(d, "FLOAT")));
    EXPECT_EQ(PyFloat_AsDouble(Value(d, "FLOAT")), 2.5);
    EXPECT_EQ(Py_REFCNT(Value(d, "FLOAT")), 1) << "the dictionary holds the only reference";
    EXPECT_EQ(Text(Value(d, "TEXT")), "hello");
    EXPECT_EQ(Text(Value(d, "POINTER")), Spelled(&target, plain_.name));
    EXPECT_EQ(Value(d, "NULL_POINTER"), Py_None);
    EXPECT_EQ(Text(Value(d, "DATA")), "_deadbeef_p_TestConstant");
    EXPECT_EQ(Text(Value(d, "LONGEST")).size(), 1000u);
    ASSERT_TRUE(Value(d, "AFTER_SKIPPED") && IsInt(Value(d, "AFTER_SKIPPED")));
    EXPECT_EQ(long_of(Value(d, "AFTER_SKIPPED")), 9);

    // A pointer constant is made with own 0: the class is called, "thisown" stays unset.
    PyObject *shadowed = Value(d, "SHADOWED");
    ASSERT_NE(shadowed, nullptr);
    EXPECT_EQ(PyObject_IsInstance(shadowed, shadowed_.client_data), 1);
    Ref this_value(PyObject_GetAttrString(shadowed, "this"));
    EXPECT_EQ(Text(this_value.get()), Spelled(&target, shadowed_.name));
    EXPECT_EQ(PyObject_HasAttrString(shadowed, "thisown"), 0);
}

TEST_F(AddConstantsTest, BinaryConstantWithNegativeLengthIsSkipped) {
    const unsigned char bytes[] = {1, 2};
    const ConstantRow rows[] = {{qn4t::kBinaryConstant, "NEGATIVE", -1, 0, bytes, &plain_slot_},
                                {qn4t::kEndOfConstants, nullptr, 0, 0, nullptr, nullptr}};
    Ref dictionary(PyDict_New());
    qn4t::AddConstants(dictionary.get(), rows);
    EXPECT_EQ(TakeError(), "");
    EXPECT_EQ(PyDict_Size(dictionary.get()), 0);
}

// ---- The global-variable object ----

// What the interpreter's print call writes for the object: the print slot's text on
// Python 2; Python 3 has no print slot and writes the repr.
std::string Printed(PyObject *object) {
    std::FILE *file = std::tmpfile();
    if (!file) return "<no tmpfile>";
    EXPECT_EQ(PyObject_Print(object, file, 0), 0);
    std::rewind(file);
    std::string text;
    for (int c; (c = std::fgetc(file)) != EOF;) text += static_cast<char>(c);
    std::fclose(file);
    return text;
}

// The result of the object's own setattr slot (the interpreter passes it through).
int SetAttribute(PyObject *link, const char *name, PyObject *value) {
    return Py_TYPE(link)->tp_setattr(link, const_cast<char *>(name), value);
}

constexpr char kUnknownVariable[] = "NameError: Unknown C global variable";

TEST(VariableLink, ModuleHoldsOneEmptyUnpublishedSwigvarlink) {
    PyObject *module = Module();
    PyObject *link = qn4t::ModuleVariableLink();
    ASSERT_NE(link, nullptr);
    EXPECT_STREQ(Py_TYPE(link)->tp_name, "swigvarlink");
    EXPECT_EQ(Py_TYPE(Py_TYPE(link)), &PyType_Type);
    EXPECT_EQ(reinterpret_cast<qn4t::VariableLink *>(link)->variables, nullptr);

    PyObject *key = nullptr, *value = nullptr;
    for (Py_ssize_t at = 0; PyDict_Next(PyModule_GetDict(module), &at, &key, &value);)
        EXPECT_NE(value, link) << "published as " << Text(key);

    Ref repr(PyObject_Repr(link));
    EXPECT_EQ(Text(repr.get()), "<Global variables>");
#if PY_MAJOR_VERSION < 3
    EXPECT_EQ(Printed(link), "Global variables {  }\n");
#else
    EXPECT_EQ(Printed(link), "<Global variables>");
#endif

    EXPECT_EQ(PyObject_GetAttrString(link, "anything"), nullptr);
    EXPECT_EQ(TakeError(), kUnknownVariable);
    Ref one(int_from_long(1));
    EXPECT_EQ(SetAttribute(link, "anything", one.get()), 1);
    EXPECT_EQ(TakeError(), kUnknownVariable);
    EXPECT_NE(PyObject_SetAttrString(link, "anything", one.get()), 0);
    EXPECT_EQ(TakeError(), kUnknownVariable);
}

// Two native variables that the tests link to fresh VariableLinks.
long alpha = 10;
long beta = 20;
PyObject *get_alpha() { return int_from_long(alpha); }
PyObject *get_beta() { return int_from_long(beta); }
int set_long(long &variable, PyObject *value) {
    const long v = long_of(value);
    if (v == -1 && PyErr_Occurred()) return 1;
    variable = v;
    return 0;
}
int set_alpha(PyObject *value) { return set_long(alpha, value); }
int set_beta(PyObject *value) { return set_long(beta, value); }

class LinkedVariables : public ::testing::Test {
protected:
    void SetUp() override {
        Module();
        alpha = 10;
        beta = 20;
        // Never released: the "swigvarlink" type has no deallocation slot.
        link_ = qn4t::CreateVariableLink();
        ASSERT_NE(link_, nullptr);
        EXPECT_EQ(Py_REFCNT(link_), 1);
        EXPECT_EQ(Py_TYPE(link_), Py_TYPE(qn4t::ModuleVariableLink()));
    }
    void Link(std::vector<qn4t::LinkedVariable> variables) {
        variables_ = std::move(variables);
        for (std::size_t i = 0; i + 1 < variables_.size(); ++i) variables_[i].next = &variables_[i + 1];
        reinterpret_cast<qn4t::VariableLink *>(link_)->variables = variables_.empty() ? nullptr : &variables_[0];
    }
    static qn4t::LinkedVariable Variable(const char *name, PyObject *(*get)(), int (*set)(PyObject *)) {
        return {const_cast<char *>(name), get, set, nullptr};
    }

    PyObject *link_ = nullptr;
    std::vector<qn4t::LinkedVariable> variables_;
};

// Python 2 only: the print slot that lists the linked variables does not exist on Python 3.
#if PY_MAJOR_VERSION < 3
TEST_F(LinkedVariables, PrintSeparatesNamesWithCommas) {
    struct Case {
        std::vector<qn4t::LinkedVariable> variables;
        const char *printed;
    };
    const Case cases[] = {
        {{}, "Global variables {  }\n"},
        {{Variable("alpha", get_alpha, set_alpha)}, "Global variables { alpha }\n"},
        {{Variable("alpha", get_alpha, set_alpha), Variable("beta", get_beta, set_beta)},
         "Global variables { alpha, beta }\n"},
        {{Variable("beta", get_beta, set_beta), Variable("alpha", get_alpha, set_alpha),
          Variable("beta", get_beta, set_beta)},
         "Global variables { beta, alpha, beta }\n"},
    };
    for (const Case &c : cases) {
        Link(c.variables);
        EXPECT_EQ(Printed(link_), c.printed);
        Ref repr(PyObject_Repr(link_));
        EXPECT_EQ(Text(repr.get()), "<Global variables>");
    }
}
#endif  // PY_MAJOR_VERSION < 3

TEST_F(LinkedVariables, GetAndSetReachTheNamedVariableOnly) {
    Link({Variable("alpha", get_alpha, set_alpha), Variable("beta", get_beta, set_beta)});

    Ref value(PyObject_GetAttrString(link_, "beta"));
    ASSERT_NE(value, nullptr) << TakeError();
    EXPECT_EQ(long_of(value.get()), 20);

    Ref five(int_from_long(5));
    EXPECT_EQ(SetAttribute(link_, "alpha", five.get()), 0);
    EXPECT_EQ(alpha, 5);
    EXPECT_EQ(beta, 20);
    Ref back(PyObject_GetAttrString(link_, "alpha"));
    ASSERT_NE(back, nullptr) << TakeError();
    EXPECT_EQ(long_of(back.get()), 5);

    // Names must match exactly.
    for (const char *unknown : {"alph", "alphas", "Alpha", ""}) {
        EXPECT_EQ(PyObject_GetAttrString(link_, unknown), nullptr) << unknown;
        EXPECT_EQ(TakeError(), kUnknownVariable) << unknown;
        EXPECT_EQ(SetAttribute(link_, unknown, five.get()), 1) << unknown;
        EXPECT_EQ(TakeError(), kUnknownVariable) << unknown;
    }
    EXPECT_EQ(alpha, 5);
    EXPECT_EQ(beta, 20);
}

TEST_F(LinkedVariables, FirstOfTwoSameNamedVariablesWins) {
    Link({Variable("alpha", get_beta, set_beta), Variable("alpha", get_alpha, set_alpha)});
    Ref value(PyObject_GetAttrString(link_, "alpha"));
    ASSERT_NE(value, nullptr) << TakeError();
    EXPECT_EQ(long_of(value.get()), 20);
    Ref seven(int_from_long(7));
    EXPECT_EQ(SetAttribute(link_, "alpha", seven.get()), 0);
    EXPECT_EQ(beta, 7);
    EXPECT_EQ(alpha, 10);
}

// ---- A second call of the entry point ----

std::vector<std::string> ConstantNames() {
    return {"QN4T_GENERIC_ACTION_NONE", "QN4T_GENERIC_ACTION_DAMAGE", "QN4T_GENERIC_ACTION_STATMOD",
            "QN4T_GENERIC_ACTION_HEALING"};
}

// A type's cast entries, front first (at most 16, so that a cycle shows as a long list).
std::vector<TypeDescriptor *> Entries(TypeDescriptor *type) {
    std::vector<TypeDescriptor *> entries;
    for (TypeDescriptor *e = type->next; e && entries.size() < 16; e = e->next) entries.push_back(e);
    return entries;
}

// What must survive a second start: the table, the registry with every type's list of
// accepted names, the global-variable object; and a shadow class registered in between.
class SecondStart : public ::testing::Test {
protected:
    void SetUp() override {
        first_ = Module();
        Py_INCREF(first_);
        std::copy(std::begin(qn4t::TypeTable), std::end(qn4t::TypeTable), table_);
        for (TypeDescriptor *d = qn4t::TypeRegistryHead(); d; d = d->prev) registry_.push_back(d);
        for (TypeDescriptor *d : table_) entries_.push_back(Entries(d));
        link_ = qn4t::ModuleVariableLink();
        previous_class_ = healing()->client_data;

        Ref names = Namespace(
            "class Healing(object):\n"
            "    def __init__(self, this): self.this = this\n"
            "m.qn4tGeneric_Healing_Details_swigregister(Healing)\n");
        ASSERT_NE(names, nullptr);
        healing_class_ = PyDict_GetItemString(names.get(), "Healing");  // the registry keeps it
        ASSERT_EQ(healing()->client_data, healing_class_);
    }
    void TearDown() override {
        qn4t::SetTypeClientData(healing(), previous_class_);
        Py_XDECREF(first_);
    }
    static TypeDescriptor *healing() { return qn4t::TypeTable[qn4t::slot_of<qn4tGeneric_Healing_Details>]; }

    // Runs the entry point again and returns the module it filled.
    Ref StartAgain() {
        Ref module(RunEntryPoint());
        EXPECT_EQ(TakeError(), "");
        return module;
    }

    void ExpectStartStateKept() {
        EXPECT_TRUE(std::equal(std::begin(table_), std::end(table_), std::begin(qn4t::TypeTable)));
        std::vector<TypeDescriptor *> registry;
        for (TypeDescriptor *d = qn4t::TypeRegistryHead(); d; d = d->prev) registry.push_back(d);
        EXPECT_EQ(registry, registry_);
        for (int slot = 0; slot < qn4t::kTypeSlotCount; ++slot) {
            EXPECT_EQ(Entries(qn4t::TypeTable[slot]), entries_[slot]) << qn4t::TypeTable[slot]->name;
        }
        EXPECT_EQ(qn4t::ModuleVariableLink(), link_);
        EXPECT_EQ(healing()->client_data, healing_class_);
    }

    void ExpectConstantsIn(PyObject *module) {
        PyObject *dictionary = PyModule_GetDict(module);
        long expected = 0;
        for (const std::string &name : ConstantNames()) {
            PyObject *value = PyDict_GetItemString(dictionary, name.c_str());
            ASSERT_NE(value, nullptr) << name;
            EXPECT_EQ(long_of(value), expected++) << name;
        }
    }

    // A new healing record made through `module` is an instance of the class registered
    // before the second start, owned; it is deleted again.
    void ExpectShadowClassUsedBy(PyObject *module) {
        Ref record(PyObject_CallMethod(module, const_cast<char *>("new_qn4tGeneric_Healing_Details"), nullptr));
        ASSERT_NE(record, nullptr) << TakeError();
        EXPECT_EQ(PyObject_IsInstance(record.get(), healing_class_), 1);
        Ref thisown(PyObject_GetAttrString(record.get(), "thisown"));
        EXPECT_TRUE(thisown && long_of(thisown.get()) == 1);
        PyErr_Clear();
        Ref deleted(PyObject_CallMethod(module, const_cast<char *>("delete_qn4tGeneric_Healing_Details"),
                                        const_cast<char *>("(O)"), record.get()));
        EXPECT_EQ(deleted.get(), Py_None) << TakeError();
    }

    PyObject *first_ = nullptr;
    TypeDescriptor *table_[qn4t::kTypeSlotCount] = {};
    std::vector<TypeDescriptor *> registry_;
    std::vector<std::vector<TypeDescriptor *>> entries_;
    PyObject *link_ = nullptr;
    PyObject *previous_class_ = nullptr;
    PyObject *healing_class_ = nullptr;
};

TEST_F(SecondStart, WithTheModuleGoneANewOneIsMadeWithEveryFunctionAndConstant) {
    ASSERT_EQ(PyDict_DelItemString(PyImport_GetModuleDict(), kModuleName), 0);
    Ref again = StartAgain();
    ASSERT_NE(again, nullptr);
    PyObject *second = again.get();
    EXPECT_NE(second, first_);

    PyObject *dictionary = PyModule_GetDict(second);
    std::size_t functions = 0;
    for (const PyMethodDef *row = qn4t::MethodTable(); row->ml_name; ++row, ++functions) {
        PyObject *function = PyDict_GetItemString(dictionary, row->ml_name);
        EXPECT_TRUE(function && PyCFunction_Check(function)) << row->ml_name;
    }
    EXPECT_EQ(functions, 134u);
    ExpectConstantsIn(second);
    ExpectStartStateKept();
    ExpectShadowClassUsedBy(second);
}

TEST_F(SecondStart, WithTheModuleStillLoadedItsConstantsAreInstalledAgain) {
    PyObject *dictionary = PyModule_GetDict(first_);
    for (const std::string &name : ConstantNames())
        ASSERT_EQ(PyDict_DelItemString(dictionary, name.c_str()), 0) << name;
    ASSERT_EQ(PyDict_DelItemString(dictionary, "qn4tGenericOpen"), 0);

    Ref again = StartAgain();
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(again.get() == first_, kEntryPointFillsLoadedModule);
    ExpectConstantsIn(again.get());
    EXPECT_NE(PyDict_GetItemString(PyModule_GetDict(again.get()), "qn4tGenericOpen"), nullptr);
    ExpectStartStateKept();
    ExpectShadowClassUsedBy(again.get());
}

}  // namespace
}  // namespace qn4t_test
