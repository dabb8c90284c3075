"""Dropbox's own Python SDK against kavo-devstack, through every route Kavo calls.

The SDK decodes each answer with its own route and type definitions, so an answer the real
service would not give in that shape fails here. Run with Debian's python3-dropbox:

    python3 test_dropbox_sdk.py KAVO_DEVSTACK APP_KEY
"""

import os
import subprocess
import sys
import tempfile
import unittest
import urllib.parse

DEVSTACK = sys.argv[1] if len(sys.argv) > 1 else ""
APP_KEY = sys.argv[2] if len(sys.argv) > 2 else ""
REDIRECT = "vendrel://dropbox-auth"


class DevStack:
    """kavo-devstack on a free loopback port over TLS, with a CA of its own."""

    def __init__(self):
        self.state = tempfile.TemporaryDirectory()
        self.process = subprocess.Popen(
            [DEVSTACK, "--state", self.state.name, "--port", "0", "--tls"],
            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        line = self.process.stdout.readline()
        prefix = "kavo-devstack listening on https://"
        if not line.startswith(prefix):
            self.stop()
            raise RuntimeError("the devstack did not start: " + line)
        self.host = line[len(prefix):].split()[0].rstrip("/")
        self.ca = os.path.join(self.state.name, "ca.pem")

    def stop(self):
        self.process.terminate()
        self.process.wait(10)
        self.state.cleanup()


class DropboxSdkAgainstTheDevstack(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.devstack = DevStack()
        # The SDK reads its hosts when it is imported.
        for name in ("DROPBOX_API_HOST", "DROPBOX_API_CONTENT_HOST", "DROPBOX_WEB_HOST"):
            os.environ[name] = cls.devstack.host
        # requests verifies against this bundle whatever CA the SDK pins: the devstack's own.
        os.environ["REQUESTS_CA_BUNDLE"] = cls.devstack.ca
        os.environ.pop("CURL_CA_BUNDLE", None)
        global dropbox, requests
        import dropbox
        import dropbox.files
        import dropbox.sharing
        import requests

    @classmethod
    def tearDownClass(cls):
        cls.devstack.stop()

    def sign_in(self):
        """The browser sign-in with PKCE, as Kavo makes it; the SDK exchanges the code."""
        session = {}
        flow = dropbox.DropboxOAuth2Flow(APP_KEY, REDIRECT, session, "csrf", use_pkce=True,
                                         token_access_type="offline", ca_certs=self.devstack.ca)
        authorize = flow.start()
        answer = requests.get(authorize, allow_redirects=False, verify=self.devstack.ca, timeout=20)
        self.assertEqual(answer.status_code, 302, answer.text)
        location = answer.headers["Location"]
        self.assertTrue(location.startswith(REDIRECT + "?"), location)
        query = dict(urllib.parse.parse_qsl(urllib.parse.urlsplit(location).query))
        result = flow.finish(query)
        self.assertTrue(result.access_token)
        self.assertTrue(result.refresh_token)
        self.assertTrue(result.account_id)
        return result

    def client(self, result):
        return dropbox.Dropbox(oauth2_access_token=result.access_token,
                               oauth2_refresh_token=result.refresh_token,
                               oauth2_access_token_expiration=result.expires_at,
                               app_key=APP_KEY, ca_certs=self.devstack.ca)

    def test_every_route_kavo_calls(self):
        dbx = self.client(self.sign_in())
        account = dbx.users_get_current_account()
        self.assertTrue(account.email)
        self.assertTrue(account.name.display_name)

        # An upload in chunks, committed with add + autorename, twice to the same path.
        body = b"0123456789" * 1000
        paths = []
        for _ in range(2):
            started = dbx.files_upload_session_start(b"", close=False)
            cursor = dropbox.files.UploadSessionCursor(session_id=started.session_id, offset=0)
            dbx.files_upload_session_append_v2(body[:4000], cursor, close=False)
            cursor.offset = 4000
            commit = dropbox.files.CommitInfo(path="/KAVOSDK/report.txt", mode=dropbox.files.WriteMode.add,
                                              autorename=True, mute=True)
            stored = dbx.files_upload_session_finish(body[4000:], cursor, commit)
            self.assertEqual(stored.size, len(body))
            self.assertTrue(stored.id.startswith("id:"))
            paths.append(stored.path_display)
        self.assertEqual(paths, ["/KAVOSDK/report.txt", "/KAVOSDK/report (1).txt"])

        metadata = dbx.files_get_metadata(paths[1])
        self.assertIsInstance(metadata, dropbox.files.FileMetadata)
        self.assertEqual(metadata.size, len(body))

        settings = dropbox.sharing.SharedLinkSettings(
            requested_visibility=dropbox.sharing.RequestedVisibility.public,
            audience=dropbox.sharing.LinkAudience.public,
            access=dropbox.sharing.RequestedLinkAccessLevel.viewer)
        link = dbx.sharing_create_shared_link_with_settings(paths[1], settings)
        self.assertTrue(link.url.startswith("https://"))
        with self.assertRaises(dropbox.exceptions.ApiError) as again:
            dbx.sharing_create_shared_link_with_settings(paths[1], settings)
        self.assertTrue(again.exception.error.is_shared_link_already_exists())
        listed = dbx.sharing_list_shared_links(path=paths[1], direct_only=True)
        self.assertEqual([l.url for l in listed.links], [link.url])

        deleted = dbx.files_delete_v2(paths[1])
        self.assertEqual(deleted.metadata.path_display, paths[1])
        with self.assertRaises(dropbox.exceptions.ApiError) as gone:
            dbx.files_delete_v2(paths[1])
        self.assertTrue(gone.exception.error.is_path_lookup())
        self.assertTrue(gone.exception.error.get_path_lookup().is_not_found())

    def test_session_refusals_decode(self):
        dbx = self.client(self.sign_in())
        started = dbx.files_upload_session_start(b"abc", close=False)
        cursor = dropbox.files.UploadSessionCursor(session_id=started.session_id, offset=0)
        with self.assertRaises(dropbox.exceptions.ApiError) as wrong:
            dbx.files_upload_session_append_v2(b"def", cursor, close=False)
        error = wrong.exception.error
        self.assertTrue(error.is_incorrect_offset())
        self.assertEqual(error.get_incorrect_offset().correct_offset, 3)

        missing = dropbox.files.UploadSessionCursor(session_id="nosuchsession", offset=0)
        commit = dropbox.files.CommitInfo(path="/KAVOSDK/x.txt", mode=dropbox.files.WriteMode.add, autorename=True)
        with self.assertRaises(dropbox.exceptions.ApiError) as lookup:
            dbx.files_upload_session_finish(b"", missing, commit)
        self.assertTrue(lookup.exception.error.is_lookup_failed())
        self.assertTrue(lookup.exception.error.get_lookup_failed().is_not_found())

    def test_tokens_refresh_and_expire(self):
        result = self.sign_in()
        dbx = self.client(result)
        dbx.refresh_access_token()
        self.assertNotEqual(dbx._oauth2_access_token, result.access_token)
        dbx.users_get_current_account()
        stale = dropbox.Dropbox(oauth2_access_token="sl.not-a-token", ca_certs=self.devstack.ca)
        with self.assertRaises(dropbox.exceptions.AuthError):
            stale.users_get_current_account()


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
