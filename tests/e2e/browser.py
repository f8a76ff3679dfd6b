"""The user's web browser in the login tests: Debian's chromium driven by Playwright.

Python's webbrowser runs this (through the BROWSER variable) with the login address. It logs in
as VELA_TEST_LOGIN_SUB, or denies the login when VELA_TEST_LOGIN_ACTION is "deny", waits for the
package's callback page and appends its text to VELA_TEST_BROWSER_PAGES.
"""
import os
import sys

from playwright.sync_api import sync_playwright

CHROMIUM = "/usr/bin/chromium"


def main(address):
    with sync_playwright() as playwright:
        browser = playwright.chromium.launch(executable_path=CHROMIUM, headless=True, args=["--no-sandbox"])
        page = browser.new_page()
        page.goto(address)
        if os.environ.get("VELA_TEST_LOGIN_ACTION") == "deny":
            page.click("button[value=deny]")
        else:
            page.fill("input[name=sub]", os.environ["VELA_TEST_LOGIN_SUB"])
            page.click("button:has-text('Authorize')")
        page.wait_for_url("**/callback?**")
        page.wait_for_load_state()
        with open(os.environ["VELA_TEST_BROWSER_PAGES"], "a") as pages:
            pages.write(page.inner_text("body") + "\n---\n")
        browser.close()


if __name__ == "__main__":
    main(sys.argv[1])
