// The private part of vela_experiment_tracking.auth.remembered that reads, checks and
// writes a remembered login's record. A record that others could read or write, that
// belongs to someone else, or that is damaged is refused with one warning saying what to
// do, before any of its refresh token is spent.
#pragma once

#include "runtime.hpp"

#include <initializer_list>

namespace remembered {

// os.open flags by name; those this system lacks count as none.
int open_flags(const rt::Args& a, std::initializer_list<const char*> names);

// Whether an error is a store that cannot be read or written (logged at debug, passed over).
bool store_fault(const rt::Args& a, py::error_already_set& e, const char* what);

// The record's text from the user's own private file; None when there is none or it is refused.
py::object read_record_file(const rt::Args& a, py::handle path);

// Written to a private temporary file and renamed over the record.
void write_record_file(const rt::Args& a, py::handle path, py::handle text);

// None for a usable record, else what is wrong with it.
py::object damage_of(const rt::Args& a, py::handle record);

// Logs the warning once per process for that key.
void warn_once(const rt::Args& a, py::handle key, py::handle message);

}  // namespace remembered
