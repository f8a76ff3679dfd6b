"""The user of the device login, played by Debian's chromium through Playwright: opens the
verification address, logs in to the provider, enters the code shown and approves (or denies)."""
from playwright.sync_api import sync_playwright

from provider import PASSWORD, USERNAME

CHROMIUM = "/usr/bin/chromium"


def answer_device_login(verification_uri, user_code, action="accept"):
    with sync_playwright() as playwright:
        browser = playwright.chromium.launch(executable_path=CHROMIUM, headless=True, args=["--no-sandbox"])
        try:
            page = browser.new_page()
            page.set_default_timeout(30_000)
            page.goto(verification_uri)
            page.fill("input[name=username]", USERNAME)
            page.fill("input[name=password]", PASSWORD)
            page.click("button:has-text('Log in')")
            page.fill("input[name=user_code]", user_code)
            page.click("button:has-text('Verify')")
            page.click(f"button[value={action}]")
            page.wait_for_selector("h1:has-text('Device')")
            return page.inner_text("h1")
        finally:
            browser.close()
