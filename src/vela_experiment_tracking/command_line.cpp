// vela_experiment_tracking.command_line: `python -m vela_experiment_tracking` and the
// `vela-tracking` console script. Log in ahead of a job, see who is logged in, log out,
// and upload what ended processes left in their journals.
#include "runtime.hpp"

namespace {

constexpr const char* DEFAULT_PROG = "python -m vela_experiment_tracking";

constexpr const char* EXIT_STATUS =
    "exit status:\n"
    "  0  done (status: logged in)\n"
    "  1  the command failed (status: not logged in, or the login is no longer accepted;\n"
    "     sync: records are left or damaged)\n"
    "  2  usage error\n"
    "  130  interrupted (Ctrl-C)";

constexpr int SERVER_PROBE_SECONDS = 5;

py::object out(const rt::Args& a) { return a.global("sys").attr("stdout"); }
py::object err(const rt::Args& a) { return a.global("sys").attr("stderr"); }

void say(py::handle stream, py::handle text) {
    stream.attr("write")(rt::cat({text, py::str("\n")}));
    stream.attr("flush")();
}

// ---- the parser --------------------------------------------------------------

// A usage error is one line, and exit status 2.
py::object Parser_error(const rt::Args& a) {
    py::handle self = a[0], message = a[1];
    py::object prog = self.attr("prog");
    say(a.global("sys").attr("stderr"),
        rt::cat({prog, py::str(": error: "), message, py::str(" (see "), prog, py::str(" --help)")}));
    rt::raise_instance(rt::builtin("SystemExit")(2));
}

py::object version(const rt::Args& a) {
    try {
        return a.global("importlib").attr("metadata").attr("version")("vela_experiment_tracking");
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_Exception)) throw;
        return py::str("unknown");
    }
}

py::object command(py::handle commands, const rt::Args& a, const char* name, const char* help, const char* text) {
    return commands.attr("add_parser")(name, py::arg("help") = help, py::arg("description") = text,
                                       py::arg("epilog") = EXIT_STATUS,
                                       py::arg("formatter_class") = a.global("argparse").attr("RawDescriptionHelpFormatter"));
}

py::object build_parser(const rt::Args& a, py::handle prog) {
    py::object formatter = a.global("argparse").attr("RawDescriptionHelpFormatter");
    py::object parser = a.global("ArgumentParser")(
        py::arg("prog") = prog, py::arg("formatter_class") = formatter, py::arg("epilog") = EXIT_STATUS,
        py::arg("description") = "Log in to the experiment-tracking service and upload what training left behind.");
    parser.attr("add_argument")("--version", py::arg("action") = "version",
                                py::arg("version") = rt::cat({py::str("%(prog)s "), version(a)}));
    parser.attr("add_argument")("-v", "--verbose", py::arg("action") = "store_true",
                                py::arg("help") = "print the package's debug log (it holds no secret)");
    py::object commands = parser.attr("add_subparsers")(py::arg("dest") = "command", py::arg("metavar") = "COMMAND",
                                                        py::arg("title") = "commands");

    py::object login = command(commands, a, "login", "log in and remember the login on this machine",
                               "Log in with the login your environment describes (VELA_OIDC_ISSUER, or the cloud "
                               "platform's VELA_PLATFORM_* variables), or with the issuer and client given here. The "
                               "login is remembered for your user on this machine, so scripts, notebooks and batch "
                               "jobs started later use it without asking. A client secret is read from "
                               "VELA_OIDC_CLIENT_SECRET only, never from the command line.");
    login.attr("add_argument")("--issuer", py::arg("metavar") = "URL",
                               py::arg("help") = "the OpenID Connect issuer (default: VELA_OIDC_ISSUER)");
    login.attr("add_argument")("--client-id", py::arg("metavar") = "ID",
                               py::arg("help") = "a client registered at the issuer (default: VELA_OIDC_CLIENT_ID; "
                                                 "none: the client registers itself)");
    py::object way = login.attr("add_mutually_exclusive_group")();
    way.attr("add_argument")("--device", py::arg("action") = "store_const", py::arg("dest") = "way",
                             py::arg("const") = "device",
                             py::arg("help") = "log in with a code entered on any device with a browser");
    way.attr("add_argument")("--browser", py::arg("action") = "store_const", py::arg("dest") = "way",
                             py::arg("const") = "browser", py::arg("help") = "log in with a browser on this machine");
    login.attr("add_argument")("--hostname", py::arg("metavar") = "HOST",
                               py::arg("help") = "the browser login's redirect host (default: VELA_OIDC_HOSTNAME or "
                                                 "localhost)");

    py::object status = command(commands, a, "status", "show who is logged in, the server and what waits to be sent",
                                "Show the remembered login (user, kind of login, issuer, until when its access token "
                                "is valid), whether the tracking server answers, and the journals of records not yet "
                                "sent. Renewing the access token checks that the login is still accepted. No token or "
                                "secret is shown.");
    status.attr("add_argument")("--tracking-uri", py::arg("metavar") = "URI",
                                py::arg("help") = "the tracking server (default: VELA_TRACKING_SERVER_URI on the cloud "
                                                  "platform, else MLFLOW_TRACKING_URI, else http://localhost:5000)");
    command(commands, a, "logout", "forget the remembered logins of your user on this machine",
            "Forget every remembered login of your user on this machine; later processes log in anew.");
    command(commands, a, "sync", "upload the records that ended processes left in their journals",
            "Upload the records that ended processes left in their journals (processes that ended while the "
            "tracking server was down), with the login your environment describes or the remembered one.");
    return parser;
}

// ---- login -------------------------------------------------------------------

// What the flags ask for goes into this process's environment, where the login that the
// environment describes is read from.
void apply_login_flags(const rt::Args& a, py::handle arguments) {
    py::object environ = a.global("os").attr("environ");
    auto set = [&](const char* attribute, const char* variable) {
        py::object value = arguments.attr(attribute);
        if (!value.is_none()) environ[a.global(variable)] = value;
    };
    if (!arguments.attr("issuer").is_none()) {
        // an issuer given here wins over the cloud platform's login of the environment
        for (const char* name : {"ENV_PLATFORM_REFRESH_TOKEN", "ENV_PLATFORM_USERINFO_ENDPOINT", "ENV_PLATFORM_CLIENT_ID"})
            environ.attr("pop")(a.global(name), py::none());
        if (arguments.attr("client_id").is_none()) {
            environ.attr("pop")(a.global("ENV_OIDC_CLIENT_ID"), py::none());
            environ.attr("pop")(a.global("ENV_OIDC_CLIENT_SECRET"), py::none());
        }
    }
    set("issuer", "ENV_OIDC_ISSUER");
    set("client_id", "ENV_OIDC_CLIENT_ID");
    set("way", "ENV_OIDC_LOGIN");
    set("hostname", "ENV_OIDC_HOSTNAME");
}

py::object login(const rt::Args& a, py::handle arguments, py::handle parser) {
    if (!rt::truthy(a.global("remembering_enabled")()))
        parser.attr("error")(rt::cat({py::str("a login is remembered for later processes, and "),
                                      a.global("ENV_REMEMBER_LOGIN"), py::str(" turns that off: unset it")}));
    apply_login_flags(a, arguments);
    py::object authenticator = a.global("check_auth_env_configs")();
    if (!rt::truthy(authenticator))
        parser.attr("error")(rt::cat({py::str("no login is configured: pass --issuer URL, or set "),
                                      a.global("ENV_OIDC_ISSUER"), py::str(" or the cloud platform's "),
                                      a.global("ENV_PLATFORM_REFRESH_TOKEN"), py::str(" and its endpoints")}));
    py::object user = authenticator.attr("authenticate")();
    py::object known = a.global("remembered_logins")();
    py::str where("");
    for (py::handle each : known)
        if (rt::equals(each[py::str("login_id")], a.global("os").attr("environ").attr("get")(a.global("ENV_REMEMBERED_LOGIN"))))
            where = rt::cat({py::str(" ("), each[py::str("kind")], py::str(" login at "), each[py::str("issuer")],
                             py::str(")")});
    say(out(a), rt::cat({py::str("Logged in as "), a.global("printable")(user.attr("username")), where,
                         py::str(". The login is remembered for later processes of your user on this machine.")}));
    return py::int_(0);
}

// ---- status ------------------------------------------------------------------

py::object tracking_server(const rt::Args& a, py::handle arguments) {
    if (!arguments.attr("tracking_uri").is_none()) return arguments.attr("tracking_uri");
    py::object environ = a.global("os").attr("environ");
    if (rt::truthy(a.global("is_cloud")())) return environ.attr("get")(a.global("ENV_EXP_TRACKING_SERVER_URI"));
    py::object configured = environ.attr("get")("MLFLOW_TRACKING_URI");
    return rt::truthy(configured) ? configured : a.global("DEFAULT_TRACK_SERVER");
}

void show_server(const rt::Args& a, py::handle arguments) {
    py::object address = tracking_server(a, arguments);
    if (!rt::truthy(address)) {
        say(out(a), rt::cat({py::str("Tracking server: not configured ("), a.global("ENV_EXP_TRACKING_SERVER_URI"),
                             py::str(" is not set)")}));
        return;
    }
    py::object problem = a.global("address_problem")(address);
    py::str state;
    if (!problem.is_none()) {
        state = rt::cat({py::str("unusable address: "), problem});
    } else {
        py::object probe = a.global("probe_server")(py::str(address).attr("rstrip")("/"), SERVER_PROBE_SECONDS);
        state = rt::truthy(probe.attr("ok")) ? py::str("answers") : py::str(probe.attr("reason"));
    }
    say(out(a), rt::cat({py::str("Tracking server: "), a.global("printable")(address), py::str(" ("), state, py::str(")")}));
}

py::str local_time(const rt::Args& a, py::handle seconds) {
    py::object moment = a.global("datetime").attr("datetime").attr("fromtimestamp")(seconds);
    return py::str(moment.attr("astimezone")().attr("strftime")("%Y-%m-%d %H:%M:%S %Z"));
}

// One remembered login: who, how, and until when its access token is valid. True when usable.
bool show_login(const rt::Args& a, py::handle record) {
    py::object printable = a.global("printable");
    py::str who = rt::cat({printable(record[py::str("username")]), py::str(" ("), record[py::str("kind")],
                           py::str(" login at "), printable(record[py::str("issuer")]), py::str(")")});
    py::object login = a.global("silent_login")(record[py::str("login_id")]);
    if (login.is_none()) {
        say(out(a), rt::cat({py::str("Not logged in: the identity provider no longer accepts the login of "), who,
                             py::str(". Log in again.")}));
        return false;
    }
    py::object provider = login[py::int_(1)];
    say(out(a), rt::cat({py::str("Logged in as "), who}));
    say(out(a), rt::cat({py::str("Access token valid until "), local_time(a, provider.attr("_expires_at_wall")),
                         py::str(", renewed by itself from the remembered login")}));
    return true;
}

py::object journal_directory(const rt::Args& a) {
    py::object os = a.global("os");
    py::object path = os.attr("path");
    py::object cache = os.attr("environ").attr("get")("XDG_CACHE_HOME");
    if (!rt::truthy(cache) || !rt::truthy(path.attr("isabs")(cache)))
        cache = path.attr("join")(path.attr("expanduser")("~"), ".cache");
    return path.attr("join")(cache, "vela_experiment_tracking", "journal");
}

void show_journals(const rt::Args& a, py::handle prog) {
    py::object directory = journal_directory(a);
    py::object os = a.global("os");
    Py_ssize_t count = 0;
    if (rt::truthy(os.attr("path").attr("isdir")(directory)))
        for (py::handle name : os.attr("listdir")(directory))
            if (rt::truthy(py::str(name).attr("endswith")(".journal"))) ++count;
    if (count == 0) {
        say(out(a), py::str("Journals waiting to be sent: none"));
        return;
    }
    say(out(a), rt::cat({py::str("Journals waiting to be sent: "), py::int_(count), py::str(" in "), directory,
                         py::str(" (those of ended processes are uploaded by `"), prog, py::str(" sync`)")}));
}

py::object status(const rt::Args& a, py::handle arguments, py::handle prog) {
    show_server(a, arguments);
    py::list known = a.global("remembered_logins")();
    bool usable = false;
    for (py::handle record : known) usable = show_login(a, record) || usable;
    if (known.size() == 0)
        say(out(a), rt::cat({py::str("Not logged in (`"), prog, py::str(" login` logs in)")}));
    show_journals(a, prog);
    return py::int_(usable ? 0 : 1);
}

// ---- logout and sync -----------------------------------------------------------

py::object logout(const rt::Args& a) {
    py::size_t count = py::len(a.global("remembered_logins")());
    a.global("forget_login")();
    if (count == 0)
        say(out(a), py::str("Not logged in: there was no remembered login to forget."));
    else
        say(out(a), rt::cat({py::str("Logged out: forgot "), py::int_(count),
                             py::str(" remembered login(s) of your user on this machine.")}));
    return py::int_(0);
}

py::object sync(const rt::Args& a) {
    py::object authenticator = a.global("check_authentication")(py::none());
    a.global("context").attr("current_client").attr("update")(a.global("Client")(authenticator));
    py::tuple counts = a.global("Sender")().attr("sync")();
    py::object damaged = counts.size() > 2 ? py::object(counts[2]) : py::object(py::int_(0));
    py::str line = rt::cat({py::str("Uploaded "), counts[0], py::str(" record(s); "), counts[1], py::str(" left.")});
    if (rt::truthy(damaged))
        line = rt::cat({line, py::str(" "), damaged, py::str(" damaged journal line(s) were skipped.")});
    say(out(a), line);
    return py::int_(rt::truthy(counts[1]) || rt::truthy(damaged) ? 1 : 0);
}

// ---- main ----------------------------------------------------------------------

// The failures a command reports in one line: the package's, the token library's,
// the network's and the file system's. Anything else is a fault and keeps its traceback.
bool reportable(const rt::Args& a, py::error_already_set& e) {
    py::object types[] = {a.global("MlflowException"), a.global("vela_authn").attr("TokenRefreshError"),
                          a.global("requests").attr("exceptions").attr("RequestException")};
    for (const py::object& type : types)
        if (e.matches(type)) return true;
    return e.matches(PyExc_OSError);
}

int exit_code(py::handle system_exit) {
    py::object code = system_exit.attr("code");
    if (code.is_none()) return 0;
    if (rt::is_instance(code, rt::builtin("int"))) return code.cast<int>();
    say(py::reinterpret_borrow<py::object>(PySys_GetObject("stderr")), rt::str(code));
    return 1;
}

py::object main(const rt::Args& a) {
    py::handle argv = a[0];
    py::object prog = a[1].is_none() ? py::object(py::str(DEFAULT_PROG)) : py::reinterpret_borrow<py::object>(a[1]);
    py::object parser = build_parser(a, prog);
    try {
        py::object arguments = parser.attr("parse_args")(rt::builtin("list")(argv));
        if (rt::truthy(arguments.attr("verbose"))) {
            a.global("logging").attr("basicConfig")(py::arg("stream") = err(a));
            a.global("logging").attr("getLogger")("vela_experiment_tracking").attr("setLevel")(
                a.global("logging").attr("DEBUG"));
        }
        py::object chosen = arguments.attr("command");
        if (chosen.is_none()) parser.attr("error")("a command is required: login, status, logout or sync");
        try {
            if (rt::equals(chosen, py::str("login"))) return login(a, arguments, parser);
            if (rt::equals(chosen, py::str("status"))) return status(a, arguments, prog);
            if (rt::equals(chosen, py::str("logout"))) return logout(a);
            return sync(a);
        } catch (py::error_already_set& e) {
            if (!reportable(a, e)) throw;
            say(err(a), rt::cat({prog, py::str(" "), chosen, py::str(": error: "),
                                 a.global("printable")(rt::str(e.value()), 2000)}));
            return py::int_(1);
        }
    } catch (py::error_already_set& e) {
        if (e.matches(PyExc_SystemExit)) return py::int_(exit_code(e.value()));
        if (!e.matches(PyExc_KeyboardInterrupt)) throw;
        say(err(a), py::str("Interrupted."));
        return py::int_(130);
    }
}

// The console script: main on the process's arguments, then exit with its status.
py::object run(const rt::Args& a) {
    py::object sys = a.global("sys");
    py::object argv = sys.attr("argv");
    py::object prog = a.global("os").attr("path").attr("basename")(argv[py::int_(0)]);
    py::object code = a.global("main")(argv[py::slice(1, PY_SSIZE_T_MAX, 1)], prog);
    rt::raise_instance(rt::builtin("SystemExit")(code));
}

}  // namespace

VELA_MODULE(command_line) {
    module.import("argparse");
    module.import("datetime");
    module.import("importlib.metadata");
    module.import("logging");
    module.import("os");
    module.import("sys");
    module.import("requests");
    module.import("vela_authn");
    module.import_from("mlflow.exceptions", {"MlflowException"});
    module.import_from_as("vela_experiment_tracking", "context", "context");
    module.import_from("vela_experiment_tracking.auth.lookup", {"check_authentication"});
    module.import_from("vela_experiment_tracking.auth.remembered",
                       {"forget_login", "remembered_logins", "remembering_enabled", "silent_login"});
    module.import_from("vela_experiment_tracking.config", {"check_auth_env_configs"});
    module.import_from("vela_experiment_tracking.constants",
                       {"DEFAULT_TRACK_SERVER", "ENV_EXP_TRACKING_SERVER_URI", "ENV_OIDC_CLIENT_ID",
                        "ENV_OIDC_CLIENT_SECRET", "ENV_OIDC_HOSTNAME", "ENV_OIDC_ISSUER", "ENV_OIDC_LOGIN",
                        "ENV_PLATFORM_CLIENT_ID", "ENV_PLATFORM_REFRESH_TOKEN", "ENV_PLATFORM_USERINFO_ENDPOINT",
                        "ENV_REMEMBER_LOGIN", "ENV_REMEMBERED_LOGIN"});
    module.import_from("vela_experiment_tracking.tracking.client", {"Client"});
    module.import_from("vela_experiment_tracking.tracking.sender", {"Sender"});
    module.import_from("vela_experiment_tracking.utils.addresses", {"address_problem", "printable", "probe_server"});
    module.import_from("vela_experiment_tracking.utils.validation", {"is_cloud"});
    module.create_logger();

    rt::ClassBuilder(module, "ArgumentParser", py::make_tuple(module.get("argparse").attr("ArgumentParser")),
                     "The standard parser, whose usage errors are one line.")
        .method({"error", {rt::param("self"), rt::param("message")}, Parser_error,
                 "Print the usage error in one line and exit with status 2."})
        .build();

    module.def({"main", {rt::param("argv"), rt::param("prog", py::none())}, main,
                "The command line: login, status, logout, sync. Returns the exit status."});
    module.def({"run", {}, run, "The console script: main(sys.argv[1:]), then exit with its status."});
}
