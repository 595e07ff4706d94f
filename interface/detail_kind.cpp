// What a Detail object does: its attributes (type, a length that follows its body unless
// given, the body), construction from a type or a body, what the collector sees and
// equality by value.
#include <string>

#include "core/action_file.h"
#include "interface/body_kinds.h"
#include "interface/object_fields.h"
#include "interface/object_kinds.h"

namespace qn4t {
namespace {

DetailObject *detail(PyObject *self) { return reinterpret_cast<DetailObject *>(self); }

// The length of a detail: as given, or its body's size.
std::size_t length_of(const DetailObject *d) { return d->length_given ? d->rec.length : body_size(d->body); }

PyObject *get_detail_length(PyObject *self, void *) { return new_int(static_cast<long long>(length_of(detail(self)))); }

int set_detail_length(PyObject *self, PyObject *value, void *closure) {
    DetailObject *d = detail(self);
    if (value == Py_None) {
        d->length_given = false;
        return 0;
    }
    if (!field_integer(value, name_of(closure), &d->rec.length)) return -1;
    d->length_given = true;
    return 0;
}

PyObject *get_body(PyObject *self, void *) {
    PyObject *body = detail(self)->body;
    Py_INCREF(body);
    return body;
}

bool is_body_object(PyObject *value) {
    bool body = false;
    for_each_body_type([&](auto tag) { body = body || is_a<typename decltype(tag)::type>(value); });
    return body;
}

// "a Damage, StatMod or Healing, or bytes": what a body can be, the body classes of the
// record list in type order. Made with the rows.
std::string choices;

std::string body_choices() {
    std::string names;
    std::size_t n = 0;
    for_each_body_type([&](auto tag) {
        ++n;
        names += n == 1 ? "a " : n == DetailBodyTypes::size ? " or " : ", ";
        names += ObjectKind<typename decltype(tag)::type>::name;
    });
    return names + ", or bytes";
}

int set_body(PyObject *self, PyObject *value, void *closure) {
    if (!value || !(is_body_object(value) || host::is_bytes(value))) {
        PyErr_Format(PyExc_TypeError, "%s: expected %s, found %s", static_cast<const char *>(closure),
                     choices.c_str(), value ? type_name_of(value) : "nothing");
        return -1;
    }
    Py_INCREF(value);
    replace_reference(detail(self)->body, value);
    if (tracked_by_collector(value)) track(self);
    return 0;
}

}  // namespace

std::size_t body_size(PyObject *body) {
    std::size_t size = host::is_bytes(body) ? host::bytes_size(body) : 0;
    for_each_body_type([&](auto tag) {
        using R = typename decltype(tag)::type;
        if (is_a<R>(body)) size = body_wire_size<R>(ObjectKind<R>::entries(body));
    });
    return size;
}

bool length_follows_body(PyObject *self, const PyGetSetDef &row) {
    return row.get == get_detail_length && !detail(self)->length_given;
}

bool ObjectKind<DetailRecord>::hold_fresh(PyObject *self) {
    return (detail(self)->body = host::bytes_from(nullptr, 0)) != nullptr;  // an empty raw body
}

void ObjectKind<DetailRecord>::clear(PyObject *self) { Py_CLEAR(detail(self)->body); }

int ObjectKind<DetailRecord>::traverse(PyObject *self, visitproc visit, void *arg) {
    Py_VISIT(detail(self)->body);
    return 0;
}

int ObjectKind<DetailRecord>::equal(PyObject *a, PyObject *b) {
    const DetailObject *x = detail(a), *y = detail(b);
    if (x->rec.type != y->rec.type || length_of(x) != length_of(y)) return 0;
    return equal_values(x->body, y->body);
}

// A Detail made with a body and no type takes the body's type; one made with a type of the
// record list and no body gets a fresh body of that type.
int ObjectKind<DetailRecord>::init(PyObject *self, PyObject *args, PyObject *kwargs) {
    if (init_object(self, args, kwargs) < 0) return -1;
    DetailObject *d = detail(self);
    const bool type_given = kwargs && PyDict_GetItemString(kwargs, "type");
    const bool body_given = kwargs && PyDict_GetItemString(kwargs, "body");
    if (!type_given && body_given) {
        for_each_body_type([&](auto tag) {
            using R = typename decltype(tag)::type;
            if (is_a<R>(d->body)) d->rec.*(DetailHeaderLayout::body_type) = Layout<R>::detail_type;
        });
    } else if (type_given && !body_given) {
        PyObject *body = nullptr;
        const bool known = visit_body_type(d->rec.*(DetailHeaderLayout::body_type), [&](auto tag) {
            PyTypeObject *type = made_types[type_slot<typename decltype(tag)::type>];
            body = type->tp_new(type, nullptr, nullptr);
        });
        if (!known) return 0;
        if (!body) return -1;
        replace_reference(d->body, body);
    }
    return 0;
}

void ObjectKind<DetailRecord>::add_rows(std::vector<PyGetSetDef> &rows) {
    rows.push_back(getset("type", get_integer<DetailRecord, &DetailRecord::type>,
                          set_integer<DetailRecord, &DetailRecord::type>, "Detail.type"));
    rows.push_back(getset("length", get_detail_length, set_detail_length, "Detail.length"));
    rows.push_back(getset("body", get_body, set_body, "Detail.body"));
    choices = body_choices();
}

}  // namespace qn4t
