"""The web page in a real headless browser (Debian's chromium and
chromium-driver, driven by Selenium) against a real `flipcore serve`: the
page loads, a click on a legal square plays it, the engine's reply appears,
an illegal click is explained. Saves a screenshot to build/web/."""

import random
import re
import shutil
import subprocess
import sys
import time
from pathlib import Path

import pytest

# Selenium comes with the web extras (pip install '.[webtest]'); the browser
# itself is Debian's (tests/install_system_deps.sh).
from selenium import webdriver
from selenium.common.exceptions import TimeoutException, WebDriverException
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.action_chains import ActionChains
from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import Select, WebDriverWait

SHOTS = Path(__file__).resolve().parents[2] / "build" / "web"
CHROMIUM = shutil.which("chromium") or shutil.which("chromium-browser")
DRIVER = shutil.which("chromedriver")


@pytest.fixture(scope="module")
def address():
    """A `flipcore serve` on a free port, stopped after the tests; what it
    logs goes to build/web/server.log."""
    SHOTS.mkdir(parents=True, exist_ok=True)
    with open(SHOTS / "server.log", "w") as log:
        server = subprocess.Popen(
            [sys.executable, "-P", "-m", "flipcore", "serve", "--port", "0"],
            stdout=subprocess.PIPE, stderr=log, text=True,
        )
        try:
            line = server.stdout.readline()
            found = re.search(r"http://127\.0\.0\.1:\d+/", line)
            assert found, f"no address in {line!r}"
            yield found.group(0)
        finally:
            server.terminate()
            server.communicate(timeout=20)


@pytest.fixture(scope="module")
def browser():
    if CHROMIUM is None or DRIVER is None:
        pytest.skip("Debian's chromium and chromium-driver are not installed (bash tests/install_system_deps.sh)")
    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for flag in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--window-size=1200,1000"):
        options.add_argument(flag)
    try:
        driver = webdriver.Chrome(service=Service(DRIVER), options=options)
    except WebDriverException as err:
        pytest.skip(f"the headless browser cannot start on this machine: {err.msg}")
    driver.set_page_load_timeout(30)
    yield driver
    driver.quit()


def click_square(driver, name):
    """Clicks the middle of a square of the board's drawing."""
    board = driver.find_element(By.CSS_SELECTOR, "#board svg")
    geometry = driver.execute_script("return state.geometry")
    col, row = "abcdefgh".index(name[0]), int(name[1]) - 1
    width, height = board.size["width"], board.size["height"]
    scale = width / geometry["extent"]
    x = (geometry["margin"] + (col + 0.5) * geometry["cell"]) * scale - width / 2
    y = (geometry["margin"] + (row + 0.5) * geometry["cell"]) * scale - height / 2
    ActionChains(driver).move_to_element_with_offset(board, round(x), round(y)).click().perform()


def text_of(driver, element_id):
    return driver.find_element(By.ID, element_id).text


def wait_for(driver, condition, seconds=30):
    """Waits until condition(driver) holds; on a timeout, fails with what
    the page showed."""
    try:
        return WebDriverWait(driver, seconds).until(condition)
    except TimeoutException:
        shown = driver.execute_script(
            "return {status: document.getElementById('status').textContent,"
            " message: document.getElementById('message').textContent,"
            " turn: state && state.turn, plies: state && state.plies.length, busy: busy}"
        )
        pytest.fail(f"the page did not get there in {seconds} s; it showed {shown}")


def test_play_a_move_see_the_reply_and_an_illegal_click_explained(browser, address):
    browser.get(address)
    wait_for(browser, lambda d: "Your move (X)" in text_of(d, "status"))
    # The start position: four discs and X's four moves marked.
    assert len(browser.find_elements(By.CSS_SELECTOR, "#board circle.disc")) == 4
    assert len(browser.find_elements(By.CSS_SELECTOR, "#board circle.move")) == 4
    assert "X (black) 2 · O (white) 2" in text_of(browser, "score")

    click_square(browser, "d3")
    # The engine's reply: two moves listed, X to move again, five discs more.
    wait_for(browser, lambda d: len(d.find_elements(By.CSS_SELECTOR, "#moves li")) == 2 and "Your move" in text_of(d, "status"))
    moves = [li.text for li in browser.find_elements(By.CSS_SELECTOR, "#moves li")]
    assert moves[0] == "1. X d3" and moves[1].startswith("2. O ")
    assert re.search(r"The engine \(O\) plays [a-h][1-8]\.", text_of(browser, "message"))
    assert browser.find_element(By.ID, "record").get_attribute("value") == "d3" + moves[1][-2:]
    discs = browser.execute_script("return state.discs")
    assert discs["X"] + discs["O"] == 6
    # The analysis of X's next move shows up as it deepens, think's in discs.
    wait_for(browser, lambda d: len(d.find_elements(By.CSS_SELECTOR, "#analysis tbody tr")) >= 3)
    rows = [row.text for row in browser.find_elements(By.CSS_SELECTOR, "#analysis tbody tr")]
    assert all(re.search(r"[+-]\d+\.\d discs \(", row) for row in rows), rows
    # The other engine: its analysis starts again, in its own units.
    Select(browser.find_element(By.ID, "engine")).select_by_value("minimax")
    wait_for(browser, lambda d: len(d.find_elements(By.CSS_SELECTOR, "#analysis tbody tr")) >= 3)
    rows = [row.text for row in browser.find_elements(By.CSS_SELECTOR, "#analysis tbody tr")]
    assert rows and not any("discs" in row for row in rows), rows
    Select(browser.find_element(By.ID, "engine")).select_by_value("think")

    click_square(browser, "a1")
    wait_for(browser, lambda d: "not a legal move" in text_of(d, "message"))
    error = browser.find_element(By.CSS_SELECTOR, "#message p.error").text
    assert error.startswith("a1 is not a legal move for X; legal moves:")
    assert len(browser.find_elements(By.CSS_SELECTOR, "#moves li")) == 2

    SHOTS.mkdir(parents=True, exist_ok=True)
    time.sleep(0.5)  # let the analysis table fill a little more for the picture
    assert browser.save_screenshot(str(SHOTS / "board.png"))


def test_undo_and_a_bad_record_from_the_page(browser, address):
    browser.get(address)
    wait_for(browser, lambda d: "Your move (X)" in text_of(d, "status"))
    # The analysis streams in above the Load button: lines coming or going
    # must not move it, or a click meant for it lands elsewhere.
    wait_for(browser, lambda d: len(d.find_elements(By.CSS_SELECTOR, "#analysis tbody tr")) >= 3)
    top = "return document.getElementById('load-button').getBoundingClientRect().top"
    with_lines = browser.execute_script("window.scrollTo(0, 0); " + top)
    without = browser.execute_script("$('analyse').click(); clearAnalysis(); " + top)
    assert with_lines == without
    load = browser.find_element(By.ID, "load")
    load.send_keys("f5d6c3q9")
    browser.find_element(By.ID, "load-button").click()
    wait_for(browser, lambda d: "bad game record" in text_of(d, "message"))
    assert "move 4" in text_of(browser, "message")

    load.clear()
    load.send_keys("f5d6c3d3c4")
    browser.find_element(By.ID, "load-button").click()
    # X played five moves in all with O's replies, so it is O's turn: the
    # engine's, since the page plays X; after its reply, the person's again.
    wait_for(browser, lambda d: len(d.find_elements(By.CSS_SELECTOR, "#moves li")) == 6 and "Your move" in text_of(d, "status"))
    browser.find_element(By.ID, "undo").click()
    wait_for(browser, lambda d: len(d.find_elements(By.CSS_SELECTOR, "#moves li")) == 4)
    assert browser.find_element(By.ID, "record").get_attribute("value") == "f5d6c3d3"
    assert "Your move (X)" in text_of(browser, "status")


def near_the_end_record(seed):
    """A random game's record stopped where X has a move and few squares are left."""
    from flipcore import Game, Position

    rnd = random.Random(seed)
    position, moves = Position.start(), []
    while position.text().count("-") > 6 or position.player != 1 or not position.legal_moves():
        legal = position.legal_moves()
        if not legal:
            position = position.pass_()
            continue
        move = rnd.choice(legal)
        moves.append(move)
        position = position.play(move)
        if position.is_over():
            position, moves = Position.start(), []
    return Game(Position.start(), moves).record()


def test_the_game_ends_and_the_review_shows(browser, address):
    browser.get(address)
    wait_for(browser, lambda d: "Your move (X)" in text_of(d, "status"))
    browser.find_element(By.ID, "load").send_keys(near_the_end_record(4))
    browser.find_element(By.ID, "load-button").click()
    def settled(d):
        # The person's turn with the engine's reply shown, or the end.
        return "Game over" in text_of(d, "status") or (
            d.execute_script("return state.turn") == "you" and "Your move" in text_of(d, "status")
        )

    wait_for(browser, lambda d: d.execute_script("return state.plies.length") > 50 and settled(d))
    while "Game over" not in text_of(browser, "status"):
        played = browser.execute_script("return state.plies.length")
        click_square(browser, browser.execute_script("return state.legal[0]"))
        wait_for(browser, lambda d: d.execute_script("return state.plies.length") > played and settled(d))
    result = browser.execute_script("return state.result")
    assert text_of(browser, "status") == f"Game over: {result['words']}. {result['verdict']}"
    wait_for(browser, lambda d: d.find_elements(By.CSS_SELECTOR, "#review-table tbody tr"), 120)
    plies = browser.execute_script("return state.plies.filter(p => p.move !== 'pass').length")
    assert len(browser.find_elements(By.CSS_SELECTOR, "#review-table tbody tr")) == plies
    assert browser.find_elements(By.CSS_SELECTOR, "#graph svg polyline")
    assert "inaccuracies" in text_of(browser, "review-status")
    assert "Values in discs" in text_of(browser, "review-status")  # think's review: one scale
    browser.execute_script("document.getElementById('review').scrollIntoView()")
    SHOTS.mkdir(parents=True, exist_ok=True)
    assert browser.save_screenshot(str(SHOTS / "review.png"))


def test_a_new_game_while_the_engine_thinks_leaves_the_old_reply_behind(browser, address):
    browser.get(address)
    wait_for(browser, lambda d: "Your move (X)" in text_of(d, "status"))
    browser.find_element(By.CSS_SELECTOR, 'input[name="mode"][value="time"]').click()
    seconds = browser.find_element(By.ID, "seconds")
    seconds.clear()
    seconds.send_keys("3")
    Select(browser.find_element(By.ID, "side")).select_by_value("O")  # starts a game: the engine opens
    wait_for(browser, lambda d: "The engine (X) is thinking" in text_of(d, "status"))
    time.sleep(0.5)
    Select(browser.find_element(By.ID, "side")).select_by_value("X")
    wait_for(browser, lambda d: "Your move (X)" in text_of(d, "status"))
    time.sleep(3.5)  # past the old search's time: its reply must not show up
    assert "Your move (X)" in text_of(browser, "status")
    assert browser.find_elements(By.CSS_SELECTOR, "#moves li") == []
    assert not browser.find_elements(By.CSS_SELECTOR, "#message p.error")
    click_square(browser, "c4")
    wait_for(browser, lambda d: len(d.find_elements(By.CSS_SELECTOR, "#moves li")) == 2 and "Your move" in text_of(d, "status"))
    assert browser.find_element(By.ID, "record").get_attribute("value").startswith("c4")
