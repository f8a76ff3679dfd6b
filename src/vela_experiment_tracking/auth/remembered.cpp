// vela_experiment_tracking.auth.remembered: a login kept for this user on this
// machine, so the next process (and a worker of this one) logs in without asking.
//
// A remembered login is a record: the refresh token, the client id and recorded
// credentials, the token endpoint, the user name, and the access token renewed last,
// which every process of the login uses until it is due. It lives in the system keyring
// when one is available, else in a file only the user can read. Each login has a
// lock file beside the records, which whoever renews holds, and one held through a
// login. Reading and checking a record is the private part remembered/records.cpp.
#include "runtime.hpp"

#include <optional>

#include "remembered/lock.hpp"
#include "remembered/records.hpp"

namespace {

using remembered::damage_of;
using remembered::Held;
using remembered::open_flags;
using remembered::read_record_file;
using remembered::store_fault;
using remembered::StoreLock_enter;
using remembered::StoreLock_exit;
using remembered::StoreLock_init;
using remembered::warn_once;
using remembered::write_record_file;

constexpr const char* KEYRING_SERVICE = "vela_experiment_tracking";

py::object environ(const rt::Args& a) { return a.global("os").attr("environ"); }

py::object remembering_enabled(const rt::Args& a) {
    if (a.global("fcntl").is_none()) return py::bool_(false);
    py::object value = environ(a).attr("get")(a.global("ENV_REMEMBER_LOGIN"), "1");
    py::object answer = value.attr("strip")().attr("lower")();
    for (const char* off : {"0", "false", "no", "off"})
        if (rt::equals(answer, py::str(off))) return py::bool_(false);
    return py::bool_(true);
}

// A name for one login, made from what identifies it; it tells nothing about a secret in it.
py::object login_id(const rt::Args& a) {
    py::list parts;
    for (py::handle part : a.varargs()) parts.append(part.is_none() ? py::str("") : py::str(part));
    py::bytes text = py::str("\n").attr("join")(parts).attr("encode")("utf-8");
    py::str digest = a.global("hashlib").attr("sha256")(text).attr("hexdigest")();
    return digest[py::slice(0, 32, 1)];
}

// $XDG_STATE_HOME/vela_experiment_tracking/logins, by default under ~/.local/state.
py::object state_directory(const rt::Args& a) {
    py::object path = a.global("os").attr("path");
    py::object base = environ(a).attr("get")("XDG_STATE_HOME");
    if (!rt::truthy(base) || !rt::truthy(path.attr("isabs")(base)))
        base = path.attr("join")(path.attr("expanduser")("~"), ".local", "state");
    return path.attr("join")(base, "vela_experiment_tracking", "logins");
}

// The directory, created for this user alone; one that someone else owns is refused.
py::object private_directory(const rt::Args& a) {
    py::object os = a.global("os");
    py::object directory = a.global("state_directory")();
    os.attr("makedirs")(directory, py::arg("mode") = 0700, py::arg("exist_ok") = true);
    py::object status = os.attr("lstat")(directory);
    py::object stat = a.global("stat");
    if (!rt::truthy(stat.attr("S_ISDIR")(status.attr("st_mode"))) ||
        !rt::equals(status.attr("st_uid"), os.attr("getuid")()))
        rt::raise(PyExc_PermissionError, "The login directory belongs to someone else.");
    if ((status.attr("st_mode").cast<long>() & 077) != 0) os.attr("chmod")(directory, 0700);
    return directory;
}

// The keyring module when a real backend (not the failing or null one) is in place.
py::object usable_keyring(const rt::Args& a) {
    py::object keyring = a.global("keyring");
    if (keyring.is_none()) return py::none();
    try {
        py::object backend = keyring.attr("get_keyring")();
        py::object module = py::type::of(backend).attr("__module__");
        for (const char* unusable : {"keyring.backends.fail", "keyring.backends.null"})
            if (rt::equals(module, py::str(unusable))) return py::none();
        if (py::float_(backend.attr("priority")).cast<double>() < 1.0) return py::none();
        py::object backends = py::getattr(backend, "backends", py::none());
        if (!backends.is_none() && py::len(backends) == 0) return py::none();
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_Exception)) throw;
        return py::none();
    }
    return keyring;
}

// ---- the store -------------------------------------------------------------

// A login's name becomes a file name: only the names login_id() makes are taken.
py::object LoginStore_init(const rt::Args& a) {
    py::handle id = a[1];
    if (!rt::is_instance(id, rt::builtin("str")) || !rt::truthy(a.global("re").attr("fullmatch")("[0-9a-z-]{1,64}", id)))
        rt::raise(PyExc_ValueError, "Not the name of a remembered login.");
    py::setattr(a[0], "login_id", id);
    return py::none();
}

py::object LoginStore_repr(const rt::Args& a) {
    return rt::cat({py::str("LoginStore("), py::repr(a[0].attr("login_id")), py::str(")")});
}

py::object record_path(const rt::Args& a, py::handle self, const char* suffix) {
    return a.global("os").attr("path").attr("join")(private_directory(a),
                                                    rt::cat({self.attr("login_id"), py::str(suffix)}));
}

py::object lock_at(const rt::Args& a, const char* suffix) {
    py::object path = py::none();
    try {
        path = record_path(a, a[0], suffix);
    } catch (py::error_already_set& e) {
        if (!store_fault(a, e, "locked")) throw;
    }
    return a.global("_StoreLock")(path);
}

py::object LoginStore_lock(const rt::Args& a) { return lock_at(a, ".lock"); }

// Held through a whole login, so that processes starting together (the ranks of one job)
// log in one after another: the first logs in and remembers it, the others find it
// remembered, rather than each spending the same one-use refresh token or asking the user.
// It is another file than the record's lock, which the login itself takes.
py::object LoginStore_login_lock(const rt::Args& a) { return lock_at(a, ".login.lock"); }

// The record, checked before any of it is used: a damaged one is removed, with a warning
// naming what is wrong, and is no login.
py::object LoginStore_load_record(const rt::Args& a) {
    py::handle self = a[0];
    py::object where, record, damage;
    try {
        py::object keyring = usable_keyring(a);
        where = keyring.is_none() ? record_path(a, self, ".json")
                                  : rt::cat({py::str("in the system keyring ("), py::str(KEYRING_SERVICE), py::str(", "),
                                             self.attr("login_id"), py::str(")")});
        py::object text = keyring.is_none() ? read_record_file(a, where)
                                            : keyring.attr("get_password")(KEYRING_SERVICE, self.attr("login_id"));
        if (text.is_none()) return py::none();
        try {
            record = a.global("json").attr("loads")(text);
            damage = damage_of(a, record);
        } catch (py::error_already_set& e) {
            if (!e.matches(PyExc_ValueError) && !e.matches(PyExc_RecursionError)) throw;
            damage = py::str("it is not JSON");
        }
    } catch (py::error_already_set& e) {
        if (!store_fault(a, e, "read")) throw;
        return py::none();
    }
    if (damage.is_none()) return record;
    self.attr("forget")();
    warn_once(a, rt::cat({where, py::str(":damaged")}),
              rt::cat({py::str("Removed the remembered login "), where, py::str(": it is damaged ("), damage,
                       py::str("). Log in again.")}));
    return py::none();
}

py::object LoginStore_save_record(const rt::Args& a) {
    py::handle self = a[0], record = a[1];
    py::object text = a.global("json").attr("dumps")(record);
    py::object keyring = usable_keyring(a);
    if (keyring.is_none())
        write_record_file(a, record_path(a, self, ".json"), text);
    else
        keyring.attr("set_password")(KEYRING_SERVICE, self.attr("login_id"), text);
    return py::none();
}

py::object LoginStore_load(const rt::Args& a) {
    py::object record = a[0].attr("load_record")();
    return record.is_none() ? py::object(py::none()) : py::object(record[py::str("refresh_token")]);
}

// The access token a process renewed last, for the others to take over (see vela_authn).
py::object LoginStore_shared_access(const rt::Args& a) {
    py::object record = a[0].attr("load_record")();
    return record.is_none() ? py::object(py::none()) : record.attr("get")("access");
}

py::object LoginStore_save(const rt::Args& a) {
    py::handle self = a[0], refresh_token = a[1], access = a[2];
    py::object record = self.attr("load_record")();
    if (record.is_none()) return py::none();  // forgotten meanwhile: stays forgotten
    record[py::str("refresh_token")] = refresh_token;
    if (access.is_none())
        record.attr("pop")("access", py::none());
    else
        record[py::str("access")] = access;
    try {
        self.attr("save_record")(record);
    } catch (py::error_already_set& e) {
        if (!store_fault(a, e, "written")) throw;
    }
    return py::none();
}

py::object LoginStore_forget(const rt::Args& a) {
    py::handle self = a[0];
    try {
        a.global("os").attr("unlink")(record_path(a, self, ".json"));
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_FileNotFoundError) && !store_fault(a, e, "removed")) throw;
    }
    py::object keyring = usable_keyring(a);
    if (!keyring.is_none()) {
        try {
            keyring.attr("delete_password")(KEYRING_SERVICE, self.attr("login_id"));
        } catch (py::error_already_set& e) {
            if (!e.matches(keyring.attr("errors").attr("PasswordDeleteError")) && !store_fault(a, e, "removed")) throw;
        }
    }
    return py::none();
}

// ---- logging in from a remembered login ------------------------------------

bool is_refused(const rt::Args& a, py::error_already_set& e) {
    py::object vela_authn = a.global("vela_authn");
    py::object refused = py::getattr(vela_authn, "LoginRequiredError", vela_authn.attr("TokenRefreshError"));
    return e.matches(refused);
}

// The store's record, read under its lock; None when there is none or the lock is refused
// (which the lock has said once).
py::object locked_record(py::handle store) {
    try {
        Held held(store.attr("lock")());
        return store.attr("load_record")();
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_PermissionError)) throw;
        return py::none();
    }
}

// (user, token provider) from the remembered login, or None when there is none or the
// provider refused its refresh token (then it is forgotten).
py::object silent_login(const rt::Args& a) {
    py::handle id = a[0];
    if (!rt::truthy(a.global("remembering_enabled")())) return py::none();
    py::object store = a.global("LoginStore")(id);
    py::object record = locked_record(store);  // refused: the login asks anew
    if (record.is_none()) return py::none();
    py::object vela_authn = a.global("vela_authn");
    py::object get = record.attr("get");
    vela_authn.attr("remember_client")(get("client_id"), get("client_secret"), get("auth_method", "none"));
    py::object provider = vela_authn.attr("TokenProvider")(py::arg("refresh_token") = get("refresh_token"),
                                                           py::arg("client_id") = get("client_id"),
                                                           py::arg("token_endpoint_url") = get("token_endpoint"));
    py::setattr(provider, "store", store);
    try {
        provider.attr("token")();
    } catch (py::error_already_set& e) {
        if (!is_refused(a, e)) throw;
        store.attr("forget")();
        a.global("logger").attr("debug")("The remembered login was refused; logging in again");
        return py::none();
    }
    environ(a)[a.global("ENV_REMEMBERED_LOGIN")] = py::str(id);
    a.global("logger").attr("debug")(rt::cat({py::str("Logged in as "), get("username"), py::str(" from the remembered login")}));
    return py::make_tuple(a.global("User")(get("username")), provider);
}

// What renewing needs, never shown, only stored; and what the login is, for `status`.
py::dict login_record(const rt::Args& a, py::handle user, py::handle provider, py::handle about) {
    py::object client_id = provider.attr("client_id");
    py::object credentials = a.global("vela_authn").attr("_client_credentials").attr("get")(client_id);
    bool recorded = !credentials.is_none();
    py::dict record;
    record["refresh_token"] = provider.attr("_refresh_token");
    record["client_id"] = client_id;
    record["token_endpoint"] = provider.attr("token_endpoint_url");
    record["client_secret"] = recorded ? py::object(credentials[py::int_(0)]) : py::object(py::none());
    record["auth_method"] = recorded ? py::object(credentials[py::int_(1)]) : py::object(py::str("none"));
    record["username"] = user.attr("username");
    py::object access = provider.attr("access_in_effect")();
    if (rt::is_instance(access, rt::builtin("dict"))) record["access"] = access;
    if (!about.is_none()) record.attr("update")(about);
    return record;
}

// Keeps a fresh login for the next process; a store that cannot be written costs
// only the remembering.
py::object remember_login(const rt::Args& a) {
    py::handle id = a[0], user = a[1], provider = a[2], about = a[3];
    if (!rt::truthy(a.global("remembering_enabled")())) return py::none();
    try {
        py::object store = a.global("LoginStore")(id);
        {
            Held held(store.attr("lock")());
            store.attr("save_record")(login_record(a, user, provider, about));
        }
        py::setattr(provider, "store", store);
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_Exception)) throw;
        a.global("logger").attr("debug")(rt::cat({py::str("Could not remember the login: "),
                                                  py::type::of(e.value()).attr("__name__")}));
        return py::none();
    }
    environ(a)[a.global("ENV_REMEMBERED_LOGIN")] = py::str(id);
    return py::none();
}

// The names of the logins remembered for this user (each has its lock file), sorted.
py::list known_ids(const rt::Args& a) {
    py::list ids;
    py::object os = a.global("os");
    py::object directory = a.global("state_directory")();
    if (!rt::truthy(os.attr("path").attr("isdir")(directory))) return ids;
    for (py::handle name : rt::builtin("sorted")(os.attr("listdir")(directory))) {
        py::str text(name);
        py::object id = text.attr("removesuffix")(".lock");
        if (rt::truthy(text.attr("endswith")(".lock")) && rt::truthy(a.global("re").attr("fullmatch")("[0-9a-z-]{1,64}", id)))
            ids.append(id);
    }
    return ids;
}

// What `status` shows of each remembered login: no secret, only who, how and where.
py::object remembered_logins(const rt::Args& a) {
    py::list logins;
    if (!rt::truthy(a.global("remembering_enabled")())) return std::move(logins);
    for (py::handle id : known_ids(a)) {
        py::object store = a.global("LoginStore")(id);
        py::object record = locked_record(store);
        if (record.is_none()) continue;
        py::object get = record.attr("get");
        py::object endpoint = get("token_endpoint");
        py::dict shown;
        shown["login_id"] = id;
        shown["username"] = get("username");
        shown["kind"] = get("kind", "remembered");
        shown["issuer"] = get("issuer", a.global("urllib").attr("parse").attr("urlsplit")(endpoint).attr("netloc"));
        logins.append(shown);
    }
    return std::move(logins);
}

// Forget the remembered logins of this user: the one named, else every one.
py::object forget_login(const rt::Args& a) {
    py::handle id = a[0];
    py::list ids;
    if (!id.is_none())
        ids.append(py::str(id));
    else
        ids = known_ids(a);
    for (py::handle each : ids) {
        py::object store = a.global("LoginStore")(each);
        try {
            Held held(store.attr("lock")());
            store.attr("forget")();
        } catch (py::error_already_set& e) {
            if (!e.matches(PyExc_PermissionError)) throw;
            store.attr("forget")();  // a lock that is refused does not keep a login remembered
        }
    }
    py::object variable = a.global("ENV_REMEMBERED_LOGIN");
    if (id.is_none() || rt::equals(environ(a).attr("get")(variable), id)) environ(a).attr("pop")(variable, py::none());
    a.global("_inherited_logins").attr("clear")();
    return py::none();
}

// ---- authenticators ----------------------------------------------------------

// The base's authenticate, skipping the interactive login in between.
py::object hand_over(const rt::Args& a, py::handle self, py::handle login) {
    py::object Authenticator = a.global("Authenticator");
    py::dict result;
    result[Authenticator.attr("USER_KEY")] = login[py::int_(0)];
    result[Authenticator.attr("TOKEN_PROVIDER_KEY")] = login[py::int_(1)];
    return Authenticator.attr("authenticate")(self, **result);
}

// A browser login marked for a host without a browser logs in with the device login:
// (user, token provider); None when it is not so marked. A provider that offers no
// device login is a clear error at once, rather than a wait for a browser that is not there.
py::object device_login_instead(const rt::Args& a, py::handle self) {
    if (!rt::truthy(py::getattr(self, "device_fallback", py::bool_(false)))) return py::none();
    py::object device = py::module_::import("vela_experiment_tracking.auth.device");
    if (!rt::truthy(device.attr("offers_device_login")(self.attr("url"))))
        rt::raise_instance(a.global("ExperimentTrackingException")(rt::cat(
            {py::str("No web browser can be used here, and the identity provider at "), self.attr("url"),
                     py::str(" offers no device login (or did not answer). Set BROWSER to a browser that runs on this "
                             "machine, or VELA_OIDC_LOGIN=browser to open the login address yourself, or log in with "
                             "the cloud platform's VELA_PLATFORM_REFRESH_TOKEN.")})));
    py::object login = device.attr("DeviceAuthenticator")(self.attr("url"), py::arg("client_id") = self.attr("client_id"),
                                                         py::arg("client_secret") = self.attr("client_secret"));
    login.attr("authenticate")();
    return py::make_tuple(login.attr("user"), login.attr("_Authenticator__token_provider"));
}

// The remembered login when there is one, else the interactive login of the base
// class, remembered afterwards. Each way cleans up once, as every login does: twice
// would put the backed-up login name back and lose it.
py::object Remembering_authenticate(const rt::Args& a) {
    py::handle self = a[0];
    py::object id = self.attr("_login_id")();
    std::optional<Held> turn;
    try {
        turn.emplace(a.global("LoginStore")(id).attr("login_lock")());
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_PermissionError)) throw;  // a refused lock file, said once: no turns
    }
    py::object login = a.global("silent_login")(id);
    if (!login.is_none()) {
        self.attr("cleanup")();
        return hand_over(a, self, login);
    }
    login = device_login_instead(a, self);
    if (!login.is_none()) return hand_over(a, self, login);
    py::object user = rt::super(a, self).attr("authenticate")(**a.kwargs());
    bool browser = rt::is_instance(self, a.global("OIDCAuthenticator"));
    py::dict about;
    about["kind"] = py::getattr(self, "login_kind", py::str(browser ? "browser" : "cloud platform"));
    about["issuer"] = browser ? self.attr("url") : self.attr("_token_endpoint");
    a.global("remember_login")(id, user, self.attr("_Authenticator__token_provider"), about);
    return user;
}

py::object RememberedOIDCAuthenticator_login_id(const rt::Args& a) {
    return a.global("login_id")("oidc", a[0].attr("url"), a[0].attr("client_id"));
}

py::object RememberedZELTAuthenticator_init(const rt::Args& a) {
    py::handle self = a[0];
    // The platform's refresh token names the login; later rotations keep the name.
    py::setattr(self, "_remembered_as",
                a.global("login_id")("platform", a[2], a[4],
                                     a.global("hashlib").attr("sha256")(py::str(a[1]).attr("encode")()).attr("hexdigest")()));
    rt::super(a, self).attr("__init__")(a[1], a[2], a[3], a[4], *a.varargs(), **a.kwargs());
    return py::none();
}

py::object RememberedZELTAuthenticator_login_id(const rt::Args& a) { return a[0].attr("_remembered_as"); }

py::object RememberedAuthenticator_init(const rt::Args& a) {
    py::setattr(a[0], "login_id", a[1]);
    rt::super(a, a[0]).attr("__init__")(*a.varargs(), **a.kwargs());
    return py::none();
}

// Logs in a worker beside its parent's login: the environment the parent exported
// (the login name, MLflow's choice of our auth) stays as it is.
py::object RememberedAuthenticator_authenticate(const rt::Args& a) {
    py::handle self = a[0];
    py::object login = a.global("silent_login")(self.attr("login_id"));
    if (login.is_none())
        rt::raise_instance(a.global("ExperimentTrackingException")(
            py::str("There is no remembered login to renew the access token from: please log in again.")));
    return hand_over(a, self, login);
}

// The login a parent process remembered and named in the environment, logged in once
// per process; None when there is none.
py::object inherited_login(const rt::Args& a) {
    py::object id = environ(a).attr("get")(a.global("ENV_REMEMBERED_LOGIN"));
    if (!rt::truthy(id)) return py::none();
    py::object logins = a.global("_inherited_logins");
    py::object known = logins.attr("get")(id);
    if (!known.is_none()) return known;
    py::object login = a.global("RememberedAuthenticator")(id);
    try {
        login.attr("authenticate")();
    } catch (py::error_already_set& e) {
        if (!e.matches(a.global("ExperimentTrackingException")) && !e.matches(PyExc_ValueError)) throw;
        return py::none();
    }
    logins[id] = login;
    return login;
}

void optional_import(rt::Module& module, const char* name) {
    try {
        module.import(name);
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_ImportError)) throw;
        module.set(name, py::none());
    }
}

}  // namespace

VELA_MODULE(remembered) {
    module.import("hashlib");
    module.import("json");
    module.import("logging");
    module.import("os");
    module.import("re");
    module.import("stat");
    module.import("tempfile");
    module.import("errno");
    module.import("urllib.parse");
    optional_import(module, "fcntl");
    optional_import(module, "keyring");
    module.import("vela_authn");
    module.import_from("vela_experiment_tracking.auth.authenticator",
                       {"Authenticator", "OIDCAuthenticator", "ZELTAuthenticator"});
    module.import_from("vela_experiment_tracking.auth.user", {"User"});
    module.import_from("vela_experiment_tracking.constants", {"ENV_REMEMBER_LOGIN", "ENV_REMEMBERED_LOGIN"});
    module.import_from("vela_experiment_tracking.exception", {"ExperimentTrackingException"});
    module.create_logger();
    module.set("_inherited_logins", py::dict());
    module.set("_warned", py::set());  // the warnings given, once each per process

    auto self = rt::param("self");
    py::object User = module.get("User");

    module.def({"remembering_enabled", {}, remembering_enabled,
                "Whether logins are remembered: on unless VELA_REMEMBER_LOGIN is 0, false, no or off."});
    module.def({"login_id", {rt::var_args("parts")}, login_id, "The name under which a login is remembered."});
    module.def({"state_directory", {}, state_directory, "Where remembered logins are kept when no keyring is."});

    rt::ClassBuilder(module, "_StoreLock", py::tuple(), "Holds a remembered login's lock, across processes.")
        .method({"__init__", {self, rt::param("path")}, StoreLock_init})
        .method({"__enter__", {self}, StoreLock_enter})
        .method({"__exit__", {self, rt::var_args("exc_info")}, StoreLock_exit})
        .build();

    rt::ClassBuilder(module, "LoginStore", py::tuple(),
                     "One remembered login: its record in the keyring or a private file, and its lock.")
        .method({"__init__", {self, rt::param("login_id")}, LoginStore_init})
        .method({"__repr__", {self}, LoginStore_repr})
        .method({"lock", {self}, LoginStore_lock, "A context manager holding this login's lock across processes."})
        .method({"load_record", {self}, LoginStore_load_record, "The remembered record, or None."})
        .method({"save_record", {self, rt::param("record")}, LoginStore_save_record, "Replace the record."})
        .method({"load", {self}, LoginStore_load, "The remembered refresh token, or None."})
        .method({"login_lock", {self}, LoginStore_login_lock,
                 "A lock held through a whole login, so that processes starting together log in once."})
        .method({"save", {self, rt::param("refresh_token"), rt::param("access", py::none())}, LoginStore_save,
                 "Keep a rotated refresh token, and the access token renewed with it for other processes."})
        .method({"shared_access", {self}, LoginStore_shared_access,
                 "The access token another process renewed last (see TokenProvider.access_in_effect), or None."})
        .method({"forget", {self}, LoginStore_forget, "Remove the record."})
        .build();

    module.def({"silent_login", {rt::param("login_id")}, silent_login,
                "(user, token provider) from the remembered login, or None."});
    module.def({"remember_login",
                {rt::param("login_id"), rt::param("user"), rt::param("token_provider"), rt::param("about", py::none())},
                remember_login,
                "Remember a fresh login for the next process; `about` ({\"kind\": ..., \"issuer\": ...}) says what "
                "it is."});
    module.def({"remembered_logins", {}, remembered_logins,
                "The remembered logins of this user: login_id, username, kind and issuer of each (no secret)."});
    module.def({"forget_login", {rt::param("login_id", py::none())}, forget_login,
                "Log out on this machine: forget the remembered login named, else every remembered login."});
    module.def({"inherited_login", {}, inherited_login,
                "The authenticated login that a parent process remembered for its workers, or None."});

    rt::ClassBuilder(module, "RememberedOIDCAuthenticator", py::make_tuple(module.get("OIDCAuthenticator")),
                     "The browser login, remembered for the next process.")
        .method({"authenticate", {self, rt::var_kwargs()}, Remembering_authenticate, nullptr, User})
        .method({"_login_id", {self}, RememberedOIDCAuthenticator_login_id})
        .build();

    rt::ClassBuilder(module, "RememberedZELTAuthenticator", py::make_tuple(module.get("ZELTAuthenticator")),
                     "The cloud platform's login, remembered for the next process.")
        .method({"__init__",
                 {self, rt::param("refresh_token"), rt::param("token_endpoint"), rt::param("userinfo_endpoint"),
                  rt::param("client_id", py::none()), rt::var_args(), rt::var_kwargs()},
                 RememberedZELTAuthenticator_init})
        .method({"authenticate", {self, rt::var_kwargs()}, Remembering_authenticate, nullptr, User})
        .method({"_login_id", {self}, RememberedZELTAuthenticator_login_id})
        .build();

    rt::ClassBuilder(module, "RememberedAuthenticator", py::make_tuple(module.get("Authenticator")),
                     "Logs in from a remembered login only, without asking the user.")
        .method({"__init__", {self, rt::param("login_id"), rt::var_args(), rt::var_kwargs()},
                 RememberedAuthenticator_init})
        .method({"authenticate", {self, rt::var_kwargs()}, RememberedAuthenticator_authenticate, nullptr, User})
        .build();
}
