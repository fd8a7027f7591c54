#include "module/meta_objects.hpp"

#include <structmember.h>

#include <string>

namespace py = pybind11;

namespace corvane {
namespace {

struct MessageObject {
    PyObject_HEAD PyObject* data;
    long long recv_ns;
    unsigned int connection;
};

struct EventObject {
    PyObject_HEAD PyObject* kind;
    PyObject* code;      // int or None
    PyObject* reason;    // str
    PyObject* by_peer;   // bool for a close, else None
    PyObject* previous;  // int for a switch, else None
    // A gap's: the channel and instrument whose sequence broke, the number that would have
    // followed and the one that came; None for other events.
    PyObject* channel;
    PyObject* instrument;
    PyObject* expected;
    PyObject* got;
    long long recv_ns;
    unsigned int connection;
};

PyTypeObject* message_type = nullptr;
PyTypeObject* event_type = nullptr;
constexpr int kKinds = 9;
PyObject* kind_names[kKinds] = {};  // by InboundMessage::Kind, interned

// "Name(a=1, b='x')", each value's repr, long ones cut.
PyObject* repr_of(const char* name,
                  std::initializer_list<std::pair<const char*, PyObject*>> items) {
    std::string text = std::string(name) + "(";
    for (const auto& [key, value] : items) {
        PyObject* r = PyObject_Repr(value);
        if (r == nullptr) return nullptr;
        std::string shown = PyUnicode_AsUTF8(r);
        Py_DECREF(r);
        if (shown.size() > 80) shown = shown.substr(0, 77) + "...";
        text += std::string(text.back() == '(' ? "" : ", ") + key + "=" + shown;
    }
    return PyUnicode_FromString((text + ")").c_str());
}

PyObject* message_repr(PyObject* self) {
    auto* m = reinterpret_cast<MessageObject*>(self);
    py::object connection = py::int_(m->connection), recv_ns = py::int_(m->recv_ns);
    return repr_of(
        "Message",
        {{"connection", connection.ptr()}, {"recv_ns", recv_ns.ptr()}, {"data", m->data}});
}

PyObject* event_repr(PyObject* self) {
    auto* e = reinterpret_cast<EventObject*>(self);
    py::object connection = py::int_(e->connection), recv_ns = py::int_(e->recv_ns);
    return repr_of("Event", {{"kind", e->kind},
                             {"connection", connection.ptr()},
                             {"recv_ns", recv_ns.ptr()},
                             {"code", e->code},
                             {"reason", e->reason},
                             {"by_peer", e->by_peer},
                             {"previous", e->previous},
                             {"channel", e->channel},
                             {"instrument", e->instrument},
                             {"expected", e->expected},
                             {"got", e->got}});
}

void message_dealloc(PyObject* self) {
    Py_XDECREF(reinterpret_cast<MessageObject*>(self)->data);
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

void event_dealloc(PyObject* self) {
    auto* e = reinterpret_cast<EventObject*>(self);
    Py_XDECREF(e->kind);
    Py_XDECREF(e->code);
    Py_XDECREF(e->reason);
    Py_XDECREF(e->by_peer);
    Py_XDECREF(e->previous);
    Py_XDECREF(e->channel);
    Py_XDECREF(e->instrument);
    Py_XDECREF(e->expected);
    Py_XDECREF(e->got);
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyMemberDef message_members[] = {
    {"data", T_OBJECT_EX, offsetof(MessageObject, data), READONLY, nullptr},
    {"recv_ns", T_LONGLONG, offsetof(MessageObject, recv_ns), READONLY, nullptr},
    {"connection", T_UINT, offsetof(MessageObject, connection), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyMemberDef event_members[] = {
    {"kind", T_OBJECT_EX, offsetof(EventObject, kind), READONLY, nullptr},
    {"connection", T_UINT, offsetof(EventObject, connection), READONLY, nullptr},
    {"recv_ns", T_LONGLONG, offsetof(EventObject, recv_ns), READONLY, nullptr},
    {"code", T_OBJECT_EX, offsetof(EventObject, code), READONLY, nullptr},
    {"reason", T_OBJECT_EX, offsetof(EventObject, reason), READONLY, nullptr},
    {"by_peer", T_OBJECT_EX, offsetof(EventObject, by_peer), READONLY, nullptr},
    {"previous", T_OBJECT_EX, offsetof(EventObject, previous), READONLY, nullptr},
    {"channel", T_OBJECT_EX, offsetof(EventObject, channel), READONLY, nullptr},
    {"instrument", T_OBJECT_EX, offsetof(EventObject, instrument), READONLY, nullptr},
    {"expected", T_OBJECT_EX, offsetof(EventObject, expected), READONLY, nullptr},
    {"got", T_OBJECT_EX, offsetof(EventObject, got), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot message_slots[] = {
    {Py_tp_doc, const_cast<char*>("A message with the wall-clock time (time.time_ns()) its frame "
                                  "was complete and its connection's number.")},
    {Py_tp_members, message_members},
    {Py_tp_repr, reinterpret_cast<void*>(message_repr)},
    {Py_tp_dealloc, reinterpret_cast<void*>(message_dealloc)},
    {0, nullptr},
};

PyType_Slot event_slots[] = {
    {Py_tp_doc, const_cast<char*>("Something that happened to a connection: kind is \"open\", "
                                  "\"close\", \"fail\", \"error\", \"switch\", \"gap\", "
                                  "\"book_synced\" or \"book_resync\".")},
    {Py_tp_members, event_members},
    {Py_tp_repr, reinterpret_cast<void*>(event_repr)},
    {Py_tp_dealloc, reinterpret_cast<void*>(event_dealloc)},
    {0, nullptr},
};

PyType_Spec message_spec = {"_corvane_ws_module.Message", sizeof(MessageObject), 0,
                            Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, message_slots};
PyType_Spec event_spec = {"_corvane_ws_module.Event", sizeof(EventObject), 0,
                          Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, event_slots};

PyTypeObject* new_type(py::module_& m, PyType_Spec& spec, const char* name,
                       std::initializer_list<const char*> slots) {
    auto* type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
    if (type == nullptr) throw py::error_already_set();
    py::tuple names(slots.size());
    std::size_t i = 0;
    for (const char* slot : slots)
        names[i++] = py::str(slot);
    py::handle(reinterpret_cast<PyObject*>(type)).attr("__slots__") = names;
    m.add_object(name, py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(type)));
    return type;
}

}  // namespace

PyObject* new_message(PyObject* data, const InboundMessage& message) {
    auto* self = PyObject_New(MessageObject, message_type);
    if (self == nullptr) {
        Py_DECREF(data);
        return nullptr;
    }
    self->data = data;
    self->recv_ns = message.recv_ns;
    self->connection = message.connection;
    return reinterpret_cast<PyObject*>(self);
}

// A gap's payload: "channel\ninstrument\nexpected\ngot".
bool set_gap(EventObject* self, const std::string& payload) {
    std::string parts[4];
    std::size_t at = 0;
    for (int i = 0; i < 4; ++i) {
        const auto end = i < 3 ? payload.find('\n', at) : payload.size();
        parts[i] = payload.substr(at, end - at);
        at = end + 1;
    }
    self->channel = PyUnicode_DecodeUTF8(parts[0].data(), parts[0].size(), "replace");
    self->instrument = PyUnicode_DecodeUTF8(parts[1].data(), parts[1].size(), "replace");
    self->expected = PyLong_FromString(parts[2].c_str(), nullptr, 10);
    self->got = PyLong_FromString(parts[3].c_str(), nullptr, 10);
    return self->channel && self->instrument && self->expected && self->got;
}

// A book event's payload: "channel\ninstrument\nreason" (the reason empty when synced).
void set_book(EventObject* self, const std::string& payload) {
    const auto first = payload.find('\n');
    const auto second = payload.find('\n', first + 1);
    self->channel = PyUnicode_DecodeUTF8(payload.data(), first, "replace");
    self->instrument =
        PyUnicode_DecodeUTF8(payload.data() + first + 1, second - first - 1, "replace");
}

PyObject* new_event(const InboundMessage& event) {
    const bool gap = event.kind == InboundMessage::Kind::gap;
    const bool book = event.kind == InboundMessage::Kind::book_synced ||
                      event.kind == InboundMessage::Kind::book_resync;
    const std::string why = gap    ? std::string("sequence broken")
                            : book ? event.payload.substr(event.payload.rfind('\n') + 1)
                                   : std::string();
    const std::string& text = gap || book ? why : event.payload;
    PyObject* reason =
        PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
    if (reason == nullptr) return nullptr;
    auto* self = PyObject_New(EventObject, event_type);
    if (self == nullptr) {
        Py_DECREF(reason);
        return nullptr;
    }
    const bool close = event.kind == InboundMessage::Kind::close;
    self->kind = Py_NewRef(kind_names[static_cast<int>(event.kind)]);
    self->code = event.code >= 0 ? PyLong_FromLong(event.code) : Py_NewRef(Py_None);
    self->reason = reason;
    self->by_peer = close ? PyBool_FromLong(event.by_peer) : Py_NewRef(Py_None);
    self->previous = event.kind == InboundMessage::Kind::switched
                         ? PyLong_FromUnsignedLong(event.previous)
                         : Py_NewRef(Py_None);
    self->channel = self->instrument = self->expected = self->got = nullptr;
    if (gap && !set_gap(self, event.payload)) {
        Py_DECREF(self);
        return nullptr;
    }
    if (book) {
        set_book(self, event.payload);
        self->expected = Py_NewRef(Py_None);
        self->got = Py_NewRef(Py_None);
        if (!self->channel || !self->instrument) {
            Py_DECREF(self);
            return nullptr;
        }
    } else if (!gap) {
        self->channel = Py_NewRef(Py_None);
        self->instrument = Py_NewRef(Py_None);
        self->expected = Py_NewRef(Py_None);
        self->got = Py_NewRef(Py_None);
    }
    self->recv_ns = event.recv_ns;
    self->connection = event.connection;
    return reinterpret_cast<PyObject*>(self);
}

void bind_meta_objects(py::module_& m) {
    message_type = new_type(m, message_spec, "Message", {"data", "recv_ns", "connection"});
    event_type =
        new_type(m, event_spec, "Event",
                 {"kind", "connection", "recv_ns", "code", "reason", "by_peer", "previous",
                  "channel", "instrument", "expected", "got"});
    const char* kinds[kKinds] = {"message", "open",   "close",       "fail",       "error",
                                 "switch",  "gap",    "book_synced", "book_resync"};
    for (int i = 0; i < kKinds; ++i)
        kind_names[i] = PyUnicode_InternFromString(kinds[i]);
}

}  // namespace corvane
