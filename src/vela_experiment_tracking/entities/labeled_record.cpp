// vela_experiment_tracking.entities.labeled_record: records with enumerable
// properties, and the printer that lists them.
#include "runtime.hpp"

namespace {

py::handle property_type() { return reinterpret_cast<PyObject*>(&PyProperty_Type); }

// ---- LabeledRecordPrinter --------------------------------------------------

py::object LabeledRecordPrinter_init(const rt::Args& a) {
    py::handle self = a[0];
    rt::super(a, self).attr("__init__")();
    py::setattr(self, "printer", a.global("pprint").attr("PrettyPrinter")());
    return py::none();
}

// Marks a record as being listed by this thread, so a record whose properties
// lead back to itself shows as a placeholder instead of recursing without end.
class Listing {
public:
    Listing(const rt::Args& a, py::handle record)
        : active_(a.global("_records_being_listed")),
          key_(py::make_tuple(py::int_(reinterpret_cast<uintptr_t>(record.ptr())), PyThread_get_thread_ident())) {
        already_ = rt::contains(active_, key_);
        if (!already_) active_.attr("add")(key_);
    }
    ~Listing() {
        if (already_) return;
        if (!rt::holds_gil()) return;
        try {
            active_.attr("discard")(key_);
        } catch (py::error_already_set& e) {
            e.discard_as_unraisable("ending a record listing");
        }
    }
    bool recursive() const { return already_; }

private:
    py::object active_;
    py::tuple key_;
    bool already_ = false;
};

py::object LabeledRecordPrinter_to_string(const rt::Args& a) {
    py::handle self = a[0], obj = a[1];
    if (!rt::is_instance(obj, a.global("LabeledRecord"))) return self.attr("printer").attr("pformat")(obj);
    py::object class_name = py::type::of(obj).attr("__name__");
    Listing listing(a, obj);
    if (listing.recursive()) return rt::cat({py::str("<"), class_name, py::str(": ...>")});
    return rt::cat({py::str("<"), class_name, py::str(": "), self.attr("_entity_to_string")(obj), py::str(">")});
}

py::object LabeledRecordPrinter_entity_to_string(const rt::Args& a) {
    py::handle self = a[0], entity = a[1];
    py::list pieces;
    for (py::handle item : entity) {
        py::object key, value;
        {
            // unpack exactly two parts, as `key, value = item` does
            py::tuple pair = py::reinterpret_steal<py::tuple>(PySequence_Tuple(item.ptr()));
            if (!pair) throw py::error_already_set();
            if (pair.size() != 2) {
                PyErr_Format(PyExc_ValueError, pair.size() < 2 ? "not enough values to unpack (expected 2, got %zd)"
                                                               : "too many values to unpack (expected 2)",
                             pair.size());
                throw py::error_already_set();
            }
            key = pair[0];
            value = pair[1];
        }
        pieces.append(rt::cat({key, py::str("="), self.attr("to_string")(value)}));
    }
    return py::str(", ").attr("join")(pieces);
}

// ---- LabeledRecord ---------------------------------------------------------

py::object LabeledRecord_init(const rt::Args& a) {
    py::handle self = a[0];
    py::setattr(self, "_LabeledRecord__name", a[1]);
    py::setattr(self, "_LabeledRecord__description", a[2]);
    return py::none();
}

py::object LabeledRecord_name(const rt::Args& a) { return a[0].attr("_LabeledRecord__name"); }

py::object LabeledRecord_description(const rt::Args& a) { return a[0].attr("_LabeledRecord__description"); }

py::object LabeledRecord_repr(const rt::Args& a) { return a.global("LabeledRecordPrinter")().attr("to_string")(a[0]); }

// state: [record, property names or None until the first advance, next index]
py::object next_pair(py::handle state) {
    py::list s = py::reinterpret_borrow<py::list>(state);
    py::object record = s[0];
    if (s[1].is_none()) s[1] = record.attr("_properties")();
    py::object names = s[1];
    auto index = s[2].cast<size_t>();
    if (index >= py::len(names)) return py::object();
    py::object name = names[py::int_(index)];
    s[2] = py::int_(index + 1);
    return py::make_tuple(name, record.attr("__getattribute__")(name));
}

py::object LabeledRecord_iter(const rt::Args& a) {
    py::list state;
    state.append(a[0]);
    state.append(py::none());
    state.append(py::int_(0));
    return rt::make_generator(state, next_pair);
}

// Listed properties: names in the class's namespace and its primary base's whose
// attribute, fetched through the class, is a listed property. A property that
// the class redefines is listed once.
py::object LabeledRecord_properties(const rt::Args& a) {
    py::handle cls = a[0];
    py::object is_valid_property = a.global("is_valid_property");
    py::list names;
    py::object base = cls.attr("__base__");
    for (py::handle owner : {cls, py::handle(base)})
        for (py::handle name : owner.attr("__dict__"))
            if (rt::truthy(is_valid_property(py::getattr(cls, name))) && !names.contains(name)) names.append(name);
    names.attr("sort")();
    return names;
}

py::object is_valid_property(const rt::Args& a) {
    py::handle attribute = a[0];
    if (!rt::is_instance(attribute, property_type())) return py::bool_(false);
    return py::bool_(!rt::is_instance(attribute, a.global("property_and_nodump")));
}

}  // namespace

VELA_MODULE(labeled_record) {
    module.import("pprint");
    module.set("_records_being_listed", py::set());

    auto self = rt::param("self");
    rt::ClassBuilder(module, "LabeledRecordPrinter", py::tuple(),
                     "Provides functionalities to print attributes of a given class in a pretty-print format.")
        .method({"__init__", {self}, LabeledRecordPrinter_init})
        .method({"to_string", {self, rt::param("obj")}, LabeledRecordPrinter_to_string})
        .method({"_entity_to_string", {self, rt::param("entity")}, LabeledRecordPrinter_entity_to_string})
        .build();

    rt::ClassBuilder(module, "property_and_nodump", py::make_tuple(property_type()),
                     "A marker class extending capabilities of the 'property' decorator class to skip printing "
                     "specific attributes.")
        .build();

    rt::ClassBuilder(module, "LabeledRecord")
        .method({"__init__", {self, rt::param("name"), rt::param("description")}, LabeledRecord_init})
        .property({"name", LabeledRecord_name})
        .property({"description", LabeledRecord_description, nullptr, nullptr, py::object(),
                   module.get("property_and_nodump")})
        .method({"__repr__", {self}, LabeledRecord_repr})
        .method({"__iter__", {self}, LabeledRecord_iter})
        .class_method({"_properties", {rt::param("cls")}, LabeledRecord_properties})
        .build();

    module.def({"is_valid_property", {rt::param("attribute")}, is_valid_property});
}
