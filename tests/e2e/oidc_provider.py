"""The test OpenID Connect provider, configured like a rotating production provider:

- every refresh answers with a new refresh token and revokes the one used;
- refresh tokens outlive the access tokens (which last --lifetime seconds, refreshed ones too);
- a refresh token past its own lifetime is refused;
- public clients (no secret) may use the token endpoint; a registered client must authenticate
  the way its registration says;
- every login's authorization request must carry a PKCE challenge (S256), and its code is redeemed
  only with the matching verifier (the cloud platform's own client, which the tests use to obtain
  a refresh token directly, is exempt);
- an error redirect carries the request's state.

Run: python oidc_provider.py PORT LIFETIME_SECONDS
"""
import dataclasses
import sys
from datetime import datetime, timedelta, timezone

import authlib.oauth2.rfc6749
import flask
import werkzeug.serving
from authlib.oauth2.rfc6750 import BearerTokenGenerator
from authlib.oauth2.rfc7636 import CodeChallenge
from oidc_provider_mock import _app, _storage

REFRESH_TOKEN_LIFETIME = timedelta(hours=1)
WITHOUT_PKCE = {"platform-cli"}


class RequiredCodeChallenge(CodeChallenge):
    """PKCE with S256 for every client but the exempt ones. The library's grant keeps no
    challenge with its codes, so they are kept here, by code."""

    SUPPORTED_CODE_CHALLENGE_METHOD = ["S256"]
    challenges = {}

    def validate_code_challenge(self, grant, redirect_uri):
        data = grant.request.payload.data
        if grant.client.get_client_id() not in WITHOUT_PKCE and not data.get("code_challenge"):
            raise authlib.oauth2.rfc6749.InvalidRequestError("PKCE is required: missing 'code_challenge'")
        super().validate_code_challenge(grant, redirect_uri)

    def validate_code_verifier(self, grant, result):
        exempt = grant.client.get_client_id() in WITHOUT_PKCE
        if exempt and not self.get_authorization_code_challenge(grant.request.authorization_code):
            return
        super().validate_code_verifier(grant, result)

    def get_authorization_code_challenge(self, authorization_code):
        return self.challenges.get(authorization_code.code, (None, None))[0]

    def get_authorization_code_challenge_method(self, authorization_code):
        return self.challenges.get(authorization_code.code, (None, None))[1]


def require_pkce():
    grant_init = _app.AuthorizationCodeGrant.__init__
    save_code = _app.AuthorizationCodeGrant.save_authorization_code

    def __init__(self, *args, **kwargs):
        grant_init(self, *args, **kwargs)
        RequiredCodeChallenge()(self)

    def save_authorization_code(self, code, request):
        data = request.payload.data
        RequiredCodeChallenge.challenges[code] = (data.get("code_challenge"), data.get("code_challenge_method"))
        save_code(self, code, request)

    _app.AuthorizationCodeGrant.__init__ = __init__
    _app.AuthorizationCodeGrant.save_authorization_code = save_authorization_code


class AccessDeniedWithState(authlib.oauth2.rfc6749.AccessDeniedError):
    def __init__(self, **kwargs):
        kwargs.setdefault("state", flask.request.args.get("state"))
        super().__init__(**kwargs)


def rotating_provider(lifetime):
    BearerTokenGenerator.GRANT_TYPES_EXPIRES_IN["refresh_token"] = lifetime
    _app.RefreshTokenGrant.INCLUDE_NEW_REFRESH_TOKEN = True
    for grant in (_app.AuthorizationCodeGrant, _app.RefreshTokenGrant):
        grant.TOKEN_ENDPOINT_AUTH_METHODS = ["client_secret_basic", "client_secret_post", "none"]

    store = _storage.Storage.store_refresh_token

    def store_refresh_token(self, refresh_token):
        longer = datetime.now(timezone.utc) + REFRESH_TOKEN_LIFETIME
        store(self, dataclasses.replace(refresh_token, expires_at=longer))

    def authenticate_refresh_token(self, refresh_token):
        token = _app.storage.get_refresh_token(refresh_token)
        if not token or token.is_expired():
            raise authlib.oauth2.rfc6749.InvalidGrantError("invalid refresh token")
        return token

    def revoke_old_credential(self, refresh_token):
        _app.storage.remove_access_token(refresh_token.access_token)
        _app.storage.remove_refresh_token(refresh_token.token)

    _storage.Storage.store_refresh_token = store_refresh_token
    _app.RefreshTokenGrant.authenticate_refresh_token = authenticate_refresh_token
    _app.RefreshTokenGrant.revoke_old_credential = revoke_old_credential
    require_pkce()
    authlib.oauth2.rfc6749.AccessDeniedError = AccessDeniedWithState  # the denial redirect names the state
    return _app.app(access_token_max_age=timedelta(seconds=lifetime))


if __name__ == "__main__":
    port, lifetime = int(sys.argv[1]), int(sys.argv[2])
    werkzeug.serving.make_server("127.0.0.1", port, rotating_provider(lifetime), threaded=True).serve_forever()
