"""The test provider of the device login: django-oauth-toolkit with OpenID Connect, in one file.

It keeps its data in its own SQLite file, has one user (USERNAME / PASSWORD) and two registered clients
for the device grant: a public one (CLIENT_ID) and a confidential one. Its discovery document names the device authorization
endpoint, userinfo answers preferred_username and email, devices poll every second, access tokens
last LIFETIME seconds and every refresh rotates the refresh token.

Run: python provider.py PORT DATABASE LIFETIME_SECONDS; the issuer is http://127.0.0.1:PORT/o
"""
import json
import sys

import django
from django.conf import settings

USERNAME, PASSWORD, EMAIL = "jdoe", "device-login-test", "john.doe@example.org"
CLIENT_ID = "tracking-device"
CONFIDENTIAL_CLIENT_ID, CONFIDENTIAL_CLIENT_SECRET = "tracking-device-confidential", "device-client-secret"

LOGIN_PAGE = """<!DOCTYPE html><html><head><title>Log in</title></head><body>
<form method="post">{% csrf_token %}{{ form.as_p }}<button type="submit">Log in</button></form></body></html>"""


def configure(port, database, lifetime):
    from jwcrypto import jwk

    base = f"http://127.0.0.1:{port}"
    settings.configure(
        DEBUG=False,
        SECRET_KEY="device-provider-test-only",
        ALLOWED_HOSTS=["127.0.0.1"],
        ROOT_URLCONF=__name__,
        INSTALLED_APPS=["django.contrib.auth", "django.contrib.contenttypes", "django.contrib.sessions",
                        "oauth2_provider"],
        MIDDLEWARE=["django.contrib.sessions.middleware.SessionMiddleware",
                    "django.middleware.csrf.CsrfViewMiddleware",
                    "django.contrib.auth.middleware.AuthenticationMiddleware"],
        DATABASES={"default": {"ENGINE": "django.db.backends.sqlite3", "NAME": database,
                               "OPTIONS": {"timeout": 20}}},
        TEMPLATES=[{"BACKEND": "django.template.backends.django.DjangoTemplates", "OPTIONS": {
            "context_processors": ["django.template.context_processors.request"],
            "loaders": [("django.template.loaders.locmem.Loader", {"registration/login.html": LOGIN_PAGE}),
                        "django.template.loaders.app_directories.Loader"]}}],
        LOGIN_URL="/accounts/login/",
        USE_TZ=True,
        LOGGING={"version": 1, "disable_existing_loggers": False,
                 "handlers": {"console": {"class": "logging.StreamHandler"}},
                 "loggers": {"django.request": {"handlers": ["console"], "level": "ERROR"}}},
        DEFAULT_AUTO_FIELD="django.db.models.AutoField",
        OAUTH2_PROVIDER={
            "OIDC_ENABLED": True,
            "OIDC_RSA_PRIVATE_KEY": jwk.JWK.generate(kty="RSA", size=2048).export_to_pem(
                private_key=True, password=None).decode(),
            "SCOPES": {"openid": "OpenID Connect", "profile": "Profile", "email": "Email"},
            "DEFAULT_SCOPES": ["openid"],
            "ACCESS_TOKEN_EXPIRE_SECONDS": lifetime,
            "ROTATE_REFRESH_TOKEN": True,
            "DEVICE_FLOW_INTERVAL": 1,
            "OAUTH_DEVICE_VERIFICATION_URI": f"{base}/o/device/",
            "OAUTH_DEVICE_VERIFICATION_URI_COMPLETE": f"{base}/o/device/?user_code={{user_code}}",
            "OAUTH2_VALIDATOR_CLASS": f"{__name__}.Validator",
        },
    )
    django.setup()


def validator_class():
    from oauth2_provider.oauth2_validators import OAuth2Validator

    class Validator(OAuth2Validator):
        oidc_claim_scope = None  # every claim, whatever the scope

        def get_additional_claims(self, request):
            return {"preferred_username": request.user.username, "email": request.user.email}

    return Validator


def discovery_view():
    from oauth2_provider.views import ConnectDiscoveryInfoView

    class Discovery(ConnectDiscoveryInfoView):
        """The toolkit's discovery document, naming the device authorization endpoint too."""

        def get(self, request, *args, **kwargs):
            response = super().get(request, *args, **kwargs)
            document = json.loads(response.content)
            document["device_authorization_endpoint"] = request.build_absolute_uri("/o/device-authorization/")
            response.content = json.dumps(document)
            return response

    return Discovery


def url_patterns():
    from django.contrib.auth import views as auth_views
    from django.urls import include, path, re_path
    from oauth2_provider import views

    return [
        re_path(r"^o/\.well-known/openid-configuration/?$", discovery_view().as_view()),
        path("o/userinfo", views.UserInfoView.as_view()),
        path("o/", include("oauth2_provider.urls", namespace="oauth2_provider")),
        path("accounts/login/", auth_views.LoginView.as_view()),
    ]


def set_up_data():
    from django.contrib.auth.models import User
    from django.core.management import call_command
    from oauth2_provider.models import get_application_model

    call_command("migrate", verbosity=0, interactive=False)
    if not User.objects.filter(username=USERNAME).exists():
        User.objects.create_user(USERNAME, EMAIL, PASSWORD)
    Application = get_application_model()
    for client_id, secret, client_type in [(CLIENT_ID, "", Application.CLIENT_PUBLIC),
                                           (CONFIDENTIAL_CLIENT_ID, CONFIDENTIAL_CLIENT_SECRET,
                                            Application.CLIENT_CONFIDENTIAL)]:
        if not Application.objects.filter(client_id=client_id).exists():
            Application.objects.create(client_id=client_id, client_secret=secret, name="Experiment tracking",
                                       client_type=client_type, algorithm=Application.RS256_ALGORITHM,
                                       authorization_grant_type=Application.GRANT_DEVICE_CODE)


def serve(port):
    from django.core.servers.basehttp import WSGIRequestHandler, run
    from django.core.wsgi import get_wsgi_application

    WSGIRequestHandler.log_message = lambda *args: None
    run("127.0.0.1", port, get_wsgi_application(), threading=True)


Validator = None
urlpatterns = []

if __name__ == "__main__":
    port, database, lifetime = int(sys.argv[1]), sys.argv[2], int(sys.argv[3])
    configure(port, database, lifetime)
    Validator = validator_class()
    urlpatterns = url_patterns()
    set_up_data()
    serve(port)
