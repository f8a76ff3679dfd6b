"""The test OpenID Connect provider, configured like a rotating production provider:

- every refresh answers with a new refresh token and revokes the one used;
- refresh tokens outlive the access tokens (which last --lifetime seconds, refreshed ones too);
- a refresh token past its own lifetime is refused;
- public clients (no secret) may use the token endpoint; a registered client must authenticate
  the way its registration says.

Run: python oidc_provider.py PORT LIFETIME_SECONDS
"""
import dataclasses
import sys
from datetime import datetime, timedelta, timezone

import authlib.oauth2.rfc6749
import werkzeug.serving
from authlib.oauth2.rfc6750 import BearerTokenGenerator
from oidc_provider_mock import _app, _storage

REFRESH_TOKEN_LIFETIME = timedelta(hours=1)


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
    return _app.app(access_token_max_age=timedelta(seconds=lifetime))


if __name__ == "__main__":
    port, lifetime = int(sys.argv[1]), int(sys.argv[2])
    werkzeug.serving.make_server("127.0.0.1", port, rotating_provider(lifetime), threaded=True).serve_forever()
