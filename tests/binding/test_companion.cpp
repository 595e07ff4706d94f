// The companion module _qn4tGenericActionSupport in a program that has the flat module built
// in (no file of either): the flat module's start enters the companion in sys.modules, and it
// works on the very records the flat module hands out.
#include "embedded_python.h"

#include <stdlib.h>

#include <string>

#include "core/memory.h"

namespace qn4t_test {
namespace {

TEST(Companion, SharesTheStateOfTheFlatModuleBuiltIntoTheProgram) {
    ASSERT_NE(Module(), nullptr) << TakeError();
    const std::string source = "import _qn4tGenericActionSupport as c\n"
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

// The companion allocates with the flat module's allocator, so that injected failures reach
// it: a header read short of memory raises MemoryError instead of returning the -1
// of a clean end of the data.
TEST(Companion, ReadWithoutMemoryRaisesMemoryError) {
    char pattern[] = "/tmp/qn4t-companion-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    const std::string path = std::string(pattern) + "/h.gz";
    const std::string source =
        std::string("import _qn4tGenericActionSupport as c\n") +
        "path = '" + path + "'\n"
        "h = m.new_qn4tGeneric_Action_Header()\n"
        "c.qn4tGeneric_Action_Header_name_set(h, 'Emberfall')\n"
        "out = m.qn4tGenericOpen(path, 1)\n"
        "c.qn4tGeneric_Action_Header_write(h, out)\n"
        "c.stream_close(out, path)\n"
        "src = m.qn4tGenericOpen(path, 0)\n";
    Ref names = Namespace(source.c_str());
    ASSERT_TRUE(names);
    qn4t::fail_allocations_after(0);
    Ref result = Evaluate(names.get(), "c.qn4tGeneric_Action_Header_read(h, src)");
    qn4t::fail_allocations_after(-1);
    EXPECT_FALSE(result);
    EXPECT_EQ(TakeError().substr(0, 11), "MemoryError");
    Ref closed = Evaluate(names.get(), "(c.stream_close(src, path), m.delete_qn4tGeneric_Action_Header(h))");
    EXPECT_TRUE(closed) << TakeError();
    EXPECT_EQ(std::system(("rm -rf '" + std::string(pattern) + "'").c_str()), 0);
}

}  // namespace
}  // namespace qn4t_test
