// The companion module _qn4tGenericActionSupport imported into a program that has the flat
// module built in (no file of its own): it finds the flat module's state among the program's
// symbols and works on the very records the flat module hands out.
#include "embedded_python.h"

namespace qn4t_test {
namespace {

TEST(Companion, SharesTheStateOfTheFlatModuleBuiltIntoTheProgram) {
    ASSERT_NE(Module(), nullptr) << TakeError();
    const std::string source = std::string("import sys\nsys.path.insert(0, '") + QN4T_MODULE_DIR +
                               "')\n"
                               "import _qn4tGenericActionSupport as c\n"
                               "h = m.new_qn4tGeneric_Action_Header()\n"
                               "c.qn4tGeneric_Action_Header_validClasses_set(h, 4294967295)\n"
                               "flat_value = m.qn4tGeneric_Action_Header_validClasses_get(h)\n"
                               "checked_value = c.qn4tGeneric_Action_Header_validClasses_get(h)\n"
                               "m.delete_qn4tGeneric_Action_Header(h)\n";
    Ref names = Namespace(source.c_str());
    ASSERT_TRUE(names);
    Ref flat_value = Evaluate(names.get(), "flat_value");
    Ref checked_value = Evaluate(names.get(), "checked_value");
    ASSERT_TRUE(flat_value && checked_value) << TakeError();
    EXPECT_EQ(long_of(flat_value.get()), -1);
    EXPECT_EQ(PyLong_AsUnsignedLong(checked_value.get()), 4294967295ul) << TakeError();
    // The record is gone for both modules.
    Ref deleted = Evaluate(names.get(), "c.qn4tGeneric_Action_Header_validClasses_get(h)");
    EXPECT_FALSE(deleted);
    EXPECT_EQ(TakeError(), "TypeError: Type error. Expected _p_qn4tGeneric_Action_Header");
}

}  // namespace
}  // namespace qn4t_test
