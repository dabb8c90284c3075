"""Google's own OAuth library for installed apps against kavo-devstack's sign-in.

The library (Debian's python3-google-auth-oauthlib, with google-auth and oauthlib) builds the
authorization request, exchanges the code with PKCE and refreshes the token as it does against
Google, and checks each answer as it would check Google's. Run:

    python3 test_google_oauthlib.py KAVO_DEVSTACK CLIENT_ID CLIENT_SECRET
"""

import os
import subprocess
import sys
import tempfile
import unittest
import urllib.parse

DEVSTACK, CLIENT_ID, CLIENT_SECRET = (sys.argv[1:4] + ["", "", ""])[:3]
SCOPE = "https://www.googleapis.com/auth/drive.file"
REDIRECT = "http://127.0.0.1:4155/oauth2redirect"


class GoogleOAuthLibraryAgainstTheDevstack(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.state = tempfile.TemporaryDirectory()
        cls.process = subprocess.Popen([DEVSTACK, "--state", cls.state.name, "--port", "0", "--tls"],
                                       stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        line = cls.process.stdout.readline()
        if not line.startswith("kavo-devstack listening on https://"):
            raise RuntimeError("the devstack did not start: " + line)
        cls.root = line.split()[-1].rstrip("/")
        # requests (under google-auth and requests-oauthlib) trusts the devstack's own CA.
        os.environ["REQUESTS_CA_BUNDLE"] = os.path.join(cls.state.name, "ca.pem")
        os.environ.pop("CURL_CA_BUNDLE", None)
        global Flow, Request, requests
        from google_auth_oauthlib.flow import Flow
        from google.auth.transport.requests import Request
        import requests

    @classmethod
    def tearDownClass(cls):
        cls.process.terminate()
        cls.process.wait(10)
        cls.state.cleanup()

    def flow(self, client_id=None, client_secret=None):
        config = {"installed": {"client_id": client_id or CLIENT_ID, "client_secret": client_secret or CLIENT_SECRET,
                                "auth_uri": self.root + "/o/oauth2/v2/auth", "token_uri": self.root + "/token",
                                "redirect_uris": ["http://127.0.0.1"]}}
        return Flow.from_client_config(config, scopes=[SCOPE], redirect_uri=REDIRECT, autogenerate_code_verifier=True)

    def consent(self, flow):
        """The browser: the consent page's redirect back to the loopback listener."""
        url, state = flow.authorization_url(access_type="offline", prompt="consent")
        answer = requests.get(url, allow_redirects=False, timeout=20)
        self.assertEqual(answer.status_code, 302, answer.text)
        back = urllib.parse.urlsplit(answer.headers["Location"])
        self.assertEqual(urllib.parse.urlunsplit(back._replace(query="")), REDIRECT)
        query = dict(urllib.parse.parse_qsl(back.query))
        self.assertEqual(query["state"], state)
        return answer.headers["Location"]

    def test_sign_in_exchange_and_refresh(self):
        flow = self.flow()
        flow.fetch_token(authorization_response=self.consent(flow).replace("http://", "https://", 1))
        credentials = flow.credentials
        self.assertTrue(credentials.token)
        self.assertTrue(credentials.refresh_token)
        self.assertTrue(credentials.expiry)
        self.assertEqual(credentials.scopes, [SCOPE])
        first = credentials.token
        credentials.refresh(Request())
        self.assertNotEqual(credentials.token, first)
        self.assertTrue(credentials.valid)

    def test_what_google_refuses(self):
        refused = requests.get(self.flow(client_id="someone-else.apps.googleusercontent.com").authorization_url()[0],
                               allow_redirects=False, timeout=20)
        self.assertEqual(refused.status_code, 400)

        flow = self.flow(client_secret="wrong")
        response = self.consent(flow).replace("http://", "https://", 1)
        with self.assertRaises(Exception) as failed:
            flow.fetch_token(authorization_response=response)
        self.assertIn("invalid_client", str(failed.exception))

        flow = self.flow()
        response = self.consent(flow).replace("http://", "https://", 1)
        flow.fetch_token(authorization_response=response)
        with self.assertRaises(Exception) as again:
            self.flow().fetch_token(code=dict(urllib.parse.parse_qsl(urllib.parse.urlsplit(response).query))["code"])
        self.assertIn("invalid_grant", str(again.exception))


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
