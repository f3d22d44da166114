#!/usr/bin/python3
"""The web door in a real browser: headless Chromium, driven by Selenium,
opens the page of a real server, registers, logs in, picks a class, plays
with the on-screen keys and the keyboard, chats, reads the terminal's screen
from its buffer, checks a screenshot's size, and connects again after the
server closed the connection.

    browser_test.py MZDELVE [SCREENSHOT.png]
"""
import os
import shutil
import socket
import struct
import subprocess
import sys
import tempfile
import time

from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.common.keys import Keys

WIDTH, HEIGHT = 1000, 700


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def start_server(program, workdir):
    game, web = free_port(), free_port()
    with open(os.path.join(workdir, "mzdelve.cfg"), "w") as f:
        f.write(f"PORT={game}\nWEB_PORT={web}\n")
    env = dict(os.environ, RL_CONFIG_DIR=workdir)
    server = subprocess.Popen([program, "-s"], cwd=workdir, env=env, stdout=subprocess.DEVNULL,
                              stderr=open(os.path.join(workdir, "server.log"), "w"))
    for _ in range(100):
        try:
            socket.create_connection(("127.0.0.1", web), timeout=1).close()
            return server, web
        except OSError:
            time.sleep(0.1)
    raise RuntimeError("the web door did not open")


def start_browser(profile):
    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    # This machine's network is closed: Chromium's own background traffic
    # would only be refused, many connections at a time.
    for flag in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                 "--disable-background-networking", "--disable-component-update", "--disable-sync",
                 "--disable-dev-shm-usage", f"--user-data-dir={profile}", f"--window-size={WIDTH},{HEIGHT}"):
        options.add_argument(flag)
    return webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)


class Page:
    def __init__(self, driver):
        self.driver = driver

    def screen(self):
        return self.driver.execute_script("return window.door ? window.door.screenText() : ''")

    def wait_for(self, text, timeout=20):
        end = time.time() + timeout
        while time.time() < end:
            if text in self.screen():
                return
            time.sleep(0.05)
        raise AssertionError(f"{text!r} not on the screen:\n{self.screen()}")

    def type(self, keys):
        self.driver.find_element(By.CSS_SELECTOR, ".xterm-helper-textarea").send_keys(keys)

    def answer(self, prompt, text):
        self.wait_for(prompt)
        self.type(text + Keys.ENTER)

    def press(self, label):
        self.driver.find_element(By.XPATH, f"//nav[@id='keys']//button[text()={label!r}]").click()


def png_size(png):
    assert png[:8] == b"\x89PNG\r\n\x1a\n"
    return struct.unpack(">II", png[16:24])


def play(page, shot):
    page.answer("Select:", "r")
    page.answer("Choose a username:", "alice")
    page.answer("Choose a password:", "s3cret")
    page.answer("Username:", "alice")
    page.answer("Password:", "s3cret")
    screen = page.screen()
    assert "Choose a username: alice" in screen and "Choose a password: \n" in screen + "\n", screen
    assert "s3cret" not in screen, "the password was echoed"
    page.answer("Enter your chat username:", "Al")
    page.answer("Choose your class", "1")
    page.wait_for("Input:")
    page.press("c")
    page.wait_for("You know no spells.")
    page.type("a")
    page.wait_for("Only Necromancers can command undead allies.")
    page.press("5")
    page.press("/")
    page.answer("Enter message:", "hello party")
    page.wait_for("hello party")

    d = page.driver
    assert d.execute_script("return [door.term.cols, door.term.rows]") == [99, 35]
    box = d.execute_script("const r = document.querySelector('.xterm-screen').getBoundingClientRect();"
                           "const s = document.getElementById('screen').getBoundingClientRect();"
                           "return [r.width, r.height, s.width, s.height, window.innerWidth, window.innerHeight,"
                           "        window.devicePixelRatio];")
    width, height, room_w, room_h, inner_w, inner_h, ratio = box
    assert abs(width - room_w) < 2 or abs(height - room_h) < 2, f"terminal {width}x{height} in {room_w}x{room_h}"
    assert width <= room_w + 1 and height <= room_h + 1, f"terminal {width}x{height} beyond {room_w}x{room_h}"
    png = d.get_screenshot_as_png()
    assert png_size(png) == (round(inner_w * ratio), round(inner_h * ratio)), png_size(png)
    if shot:
        with open(shot, "wb") as f:
            f.write(png)

    # 'q' ends the character; the server closes, the page says so and offers
    # to connect again.
    page.press("q")
    closed = d.find_element(By.ID, "closed")
    end = time.time() + 20
    while not closed.is_displayed() and time.time() < end:
        time.sleep(0.05)
    assert closed.is_displayed() and "closed" in closed.text.lower(), closed.text
    d.find_element(By.XPATH, "//div[@id='choices']/button").click()
    page.wait_for("Select:")


def main():
    program = os.path.abspath(sys.argv[1])
    shot = sys.argv[2] if len(sys.argv) > 2 else None
    workdir = tempfile.mkdtemp(prefix="delve_browser_")
    server = driver = None
    try:
        server, port = start_server(program, workdir)
        driver = start_browser(os.path.join(workdir, "profile"))
        driver.get(f"http://127.0.0.1:{port}/")
        play(Page(driver), shot)
        print("browser test: 1 passed, 0 failed")
        return 0
    except Exception as e:
        log = open(os.path.join(workdir, "server.log")).read() if os.path.exists(os.path.join(workdir, "server.log")) else ""
        print(f"browser test failed: {e!r}\nserver log:\n{log}")
        return 1
    finally:
        if driver:
            driver.quit()
        if server:
            server.kill()
            server.wait()
        shutil.rmtree(workdir, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
