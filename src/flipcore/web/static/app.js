// The flipcore page: draws the server's state, sends clicks and buttons to the
// JSON API, asks for the engine's moves, and reads the analysis and the review
// as they stream in (one JSON object a line). The server checks every request
// and keeps the game; this page only shows it.
"use strict";

const $ = (id) => document.getElementById(id);
let state = null;        // the server's last answer about this page's game
let streamAbort = null;  // stops reading the running analysis or review
let busy = false;        // a move or the engine's reply is on its way
let generation = 0;      // counts the person's actions: older answers are dropped

// -- talking to the server -------------------------------------------------

async function call(path, body) {
  const response = await fetch(path, {
    method: "POST",
    headers: { "Content-Type": "application/json" },
    body: JSON.stringify(body || {}),
  });
  const answer = await response.json().catch(() => ({ error: `the server answered ${response.status}` }));
  if (!response.ok) throw new Error(answer.error || `the server answered ${response.status}`);
  return answer;
}

const gamePath = (what) => `/api/games/${state.id}/${what}`;

// Reads a stream of JSON lines, calling onLine for each, until it ends or
// another request takes over.
async function readStream(path, body, onLine) {
  stopStream();
  const abort = new AbortController();
  streamAbort = abort;
  try {
    const response = await fetch(path, {
      method: "POST",
      headers: { "Content-Type": "application/json" },
      body: JSON.stringify(body || {}),
      signal: abort.signal,
    });
    if (!response.ok) {
      const answer = await response.json().catch(() => ({}));
      throw new Error(answer.error || `the server answered ${response.status}`);
    }
    const reader = response.body.getReader();
    const decoder = new TextDecoder();
    let pending = "";
    for (;;) {
      const { value, done } = await reader.read();
      if (done) break;
      pending += decoder.decode(value, { stream: true });
      let cut;
      while ((cut = pending.indexOf("\n")) >= 0) {
        const line = pending.slice(0, cut);
        pending = pending.slice(cut + 1);
        if (line.trim() && streamAbort === abort) onLine(JSON.parse(line));
      }
    }
  } catch (err) {
    if (err.name !== "AbortError") say(err.message, "error");
  } finally {
    if (streamAbort === abort) streamAbort = null;
  }
}

function stopStream() {
  if (streamAbort) streamAbort.abort();
  streamAbort = null;
}

// -- showing the state -------------------------------------------------------

function say(text, kind) {
  const p = document.createElement("p");
  p.textContent = text;
  if (kind) p.className = kind;
  $("message").prepend(p);
  while ($("message").children.length > 3) $("message").lastChild.remove();
}

function clearMessages() {
  $("message").textContent = "";
}

function setStatus(text, thinking) {
  $("status").textContent = text;
  $("status").classList.toggle("thinking", !!thinking);
  $("board").classList.toggle("waiting", !!thinking);
}

function render(next) {
  state = next;
  $("board").innerHTML = state.svg;
  markLastMove();
  $("score").textContent = `X (black) ${state.discs.X} · O (white) ${state.discs.O}` +
    (state.turn === "over" ? "" : ` · ${state.player} to move`);
  for (const line of state.announce) say(line, /passes/.test(line) ? "pass" : "");
  const moves = $("moves");
  moves.textContent = "";
  for (const [i, ply] of state.plies.entries()) {
    const li = document.createElement("li");
    li.textContent = `${i + 1}. ${ply.side} ${ply.move}`;
    li.className = ply.move === "pass" ? "pass" : ply.by;
    moves.append(li);
  }
  moves.scrollTop = moves.scrollHeight;
  $("record").value = state.record;
  $("undo").disabled = !state.can_undo;
  $("side").value = state.you;
  if (state.turn === "you") {
    setStatus(`Your move (${state.you}): click a square with a dot.`);
  } else if (state.turn === "engine") {
    setStatus(`The engine (${state.player}) is thinking…`, true);
  } else {
    setStatus(`Game over: ${state.result.words}. ${state.result.verdict}`);
  }
}

// A red outline on the last move's square, drawn into the board's SVG.
function markLastMove() {
  if (!state.last_move) return;
  const svg = $("board").querySelector("svg");
  const { margin, cell } = state.geometry;
  const col = state.last_move.charCodeAt(0) - 97;
  const row = Number(state.last_move[1]) - 1;
  const rect = document.createElementNS("http://www.w3.org/2000/svg", "rect");
  rect.setAttribute("x", margin + col * cell + 2);
  rect.setAttribute("y", margin + row * cell + 2);
  rect.setAttribute("width", cell - 4);
  rect.setAttribute("height", cell - 4);
  rect.setAttribute("fill", "none");
  rect.setAttribute("stroke", "#e03c28");
  rect.setAttribute("stroke-width", "2.5");
  rect.setAttribute("class", "last-move");
  svg.append(rect);
}

// The square under a click, by the drawing's geometry; null off the board.
function squareAt(event) {
  const svg = $("board").querySelector("svg");
  if (!svg) return null;
  const box = svg.getBoundingClientRect();
  const { extent, margin, cell } = state.geometry;
  const x = ((event.clientX - box.left) / box.width) * extent - margin;
  const y = ((event.clientY - box.top) / box.height) * extent - margin;
  const col = Math.floor(x / cell);
  const row = Math.floor(y / cell);
  if (col < 0 || col > 7 || row < 0 || row > 7) return null;
  return "abcdefgh"[col] + (row + 1);
}

// -- the flow of the game ----------------------------------------------------

// The engine chosen: think (values in discs) or minimax (engine units).
const engineName = () => $("engine").value;

function engineSettings() {
  const byTime = document.querySelector('input[name="mode"]:checked').value === "time";
  const strength = byTime ? { seconds: Number($("seconds").value) } : { depth: Number($("depth").value) };
  return { ...strength, engine: engineName() };
}

// After every change: the engine replies, or the analysis starts, or the
// review comes once the game is over.
async function afterChange() {
  clearAnalysis();
  if (state.turn === "engine") {
    busy = true;
    const mine = generation;
    try {
      const next = await call(gamePath("engine"), engineSettings());
      // New game, Undo or Load came meanwhile: their state stands.
      if (mine !== generation) return;
      render(next);
    } catch (err) {
      // Stopped by a newer action of this page (New game, Undo, Load): that
      // action shows its own state.
      if (mine !== generation || err.message.startsWith("stopped:")) return;
      say(err.message, "error");
      setStatus("The engine could not answer; try Undo or New game.");
      return;
    } finally {
      if (mine === generation) busy = false;
    }
    return afterChange();
  }
  if (state.turn === "you" && $("analyse").checked) {
    analyse();
  } else if (state.turn === "over" && state.plies.some((ply) => ply.move !== "pass")) {
    review();
  }
}

async function act(work) {
  stopStream();
  const mine = ++generation;
  busy = false;  // an engine reply still on its way no longer counts
  try {
    const next = await work();
    if (mine !== generation) return;
    render(next);
  } catch (err) {
    say(err.message, "error");
    return;
  }
  await afterChange();
}

$("board").addEventListener("click", async (event) => {
  if (!state) return;
  const square = squareAt(event);
  if (!square) return;
  if (busy || state.turn === "engine") {
    say("Please wait: the engine is thinking.", "error");
    return;
  }
  if (state.turn === "over") {
    say("The game is over. Press New game to play again, or Undo.", "error");
    return;
  }
  hideReview();
  await act(() => call(gamePath("move"), { move: square }));
});

$("new").addEventListener("click", () => {
  hideReview();
  clearMessages();
  act(() => call(gamePath("new"), { side: $("side").value }));
});

$("side").addEventListener("change", () => $("new").click());

$("undo").addEventListener("click", () => {
  hideReview();
  act(() => call(gamePath("undo")));
});

$("load-button").addEventListener("click", () => {
  const text = $("load").value.trim();
  const words = text.split(/\s+/);
  // A position is 64 squares and the side to move; anything else is a record.
  const body = words.length <= 2 && words[0].length === 64
    ? { side: $("side").value, position: text }
    : { side: $("side").value, record: text };
  hideReview();
  clearMessages();
  act(() => call(gamePath("new"), body));
});

$("copy").addEventListener("click", async () => {
  $("record").select();
  try {
    await navigator.clipboard.writeText(state.record);
    say("The record is copied.");
  } catch (err) {
    document.execCommand("copy");
    say("The record is selected: copy it with Ctrl+C if it did not copy.");
  }
});

$("engine").addEventListener("change", () => {
  // The analysis on screen is in the other engine's values: start it again.
  if ($("analyse").checked && state && state.turn === "you") analyse();
});

$("analyse").addEventListener("change", () => {
  if ($("analyse").checked && state && state.turn === "you") analyse();
  else stopStream();
});

// -- analysis ----------------------------------------------------------------

function clearAnalysis() {
  $("analysis").tBodies[0].textContent = "";
  $("analysis-summary").textContent = "—";
}

function cell(row, text, numeric) {
  const td = document.createElement("td");
  td.textContent = text;
  if (numeric) td.className = "num";
  row.append(td);
}

// "+3.2", "-1.0"; a value that rounds to zero has no sign ("0.0", not "-0.0").
function signed(value, digits) {
  const size = Math.abs(value).toFixed(digits);
  return Number(size) === 0 ? size : (value > 0 ? "+" : "-") + size;
}

function showExact(line, prefix) {
  const best = line.moves.length ? `; best: ${line.moves.join(" ")}` : "";
  $("analysis-summary").textContent = `${prefix}: ${line.words}${best}`;
  const body = $("analysis").tBodies[0];
  const row = document.createElement("tr");
  cell(row, "exact");
  cell(row, line.words);
  cell(row, line.line.slice(0, 12).join(" ") + (line.line.length > 12 ? " …" : ""));
  cell(row, line.seconds.toFixed(2), true);
  body.prepend(row);
}

function analyse() {
  clearAnalysis();
  $("analysis-summary").textContent = "Thinking…";
  const body = $("analysis").tBodies[0];
  readStream(gamePath("analyse"), { seconds: 10, engine: engineName() }, (line) => {
    if (line.type === "depth") {
      const row = document.createElement("tr");
      cell(row, line.depth, true);
      const units = line.units === "discs" ? " discs" : "";
      cell(row, `${signed(line.value, 1)}${units} (${line.words})`);
      cell(row, line.moves.join(" "));
      cell(row, line.seconds.toFixed(3), true);
      body.prepend(row);
      $("analysis-summary").textContent = `Depth ${line.depth}: ${line.words}; best: ${line.moves.join(" ")}`;
    } else if (line.type === "bounds") {
      $("analysis-summary").textContent =
        `Solving exactly: the final margin lies between ${signed(line.lower, 0)} and ${signed(line.upper, 0)} (X's view)`;
    } else if (line.type === "exact") {
      showExact(line, "Exact");
    } else if (line.type === "done" && line.reason === "memory") {
      $("analysis-summary").textContent += " (deeper searches do not fit in the search table's memory)";
    } else if (line.type === "error") {
      say(line.message, "error");
    }
  });
}

// -- review ------------------------------------------------------------------

function hideReview() {
  $("review").hidden = true;
}

function review() {
  $("review").hidden = false;
  $("review-status").textContent = "Reviewing the game…";
  $("review-table").tBodies[0].textContent = "";
  $("graph").textContent = "";
  readStream(gamePath("review"), { engine: engineName() }, (line) => {
    if (line.type === "progress") {
      $("review-status").textContent = `Reviewing the game: ${line.done} of ${line.total} positions valued…`;
    } else if (line.type === "done" && line.review) {
      showReview(line.review);
    } else if (line.type === "error" || line.type === "stopped") {
      $("review-status").textContent = `No review: ${line.message || line.reason}`;
    }
  });
}

// A review value: exact discs, think's discs, or minimax's engine units.
function describeValue(value, exact, discs) {
  if (value === null) return "";
  if (exact) return signed(value, 0) + " discs";
  if (discs) return signed(value, 1);
  if (Math.abs(value) >= 100000) return (value > 0 ? "X" : "O") + " wins by " + (Math.abs(value) - 100000);
  return signed(value, 0);
}

function showReview(data) {
  const marks = (side) => {
    const m = data.summary[side].marks;
    return `${m.inaccuracy} inaccuracies, ${m.mistake} mistakes, ${m.blunder} blunders`;
  };
  const discs = data.engine === "think";
  $("review-status").textContent = `X: ${marks("X")}. O: ${marks("O")}. ` + (discs
    ? `Values in discs (X's view), expected by think in the midgame, exact from the ${data.exact_from}-empties mark.`
    : `Midgame values in engine units (a corner is worth about 1000), from the ` +
      `${data.exact_from}-empties mark in exact discs.`);
  const body = $("review-table").tBodies[0];
  for (const move of data.moves) {
    const row = document.createElement("tr");
    cell(row, move.number, true);
    cell(row, move.player === 1 ? "X" : "O");
    cell(row, move.move);
    cell(row, move.best_moves.join(" "));
    cell(row, describeValue(move.value, move.exact, discs), true);
    cell(row, describeValue(move.best_value, move.exact, discs), true);
    cell(row, move.exact ? String(move.loss) : move.loss.toFixed(discs ? 1 : 0), true);
    cell(row, move.mark || "");
    if (move.mark) row.lastChild.className = `mark-${move.mark}`;
    body.append(row);
  }
  drawGraph(data);
}

// The value graph: one point per move, X's view, above the middle while X is
// better; the exact part shaded. With think every value is in discs, on one
// axis scaled to the largest. With minimax the midgame values (engine units)
// are scaled to the largest of them (finished-game values drawn at the edge),
// the exact part to the largest margin.
function drawGraph(data) {
  const moves = data.moves;
  if (!moves.length) return;
  const width = 720, height = 220, pad = 28;
  const discs = data.engine === "think";
  const mid = moves.filter((m) => !m.exact && m.value !== null).map((m) => Math.min(Math.abs(m.value), 50000));
  const ex = moves.filter((m) => m.exact).map((m) => Math.abs(m.value));
  const exScale = discs ? Math.max(8, ...ex, ...mid) : Math.max(8, ...ex);
  const midScale = discs ? exScale : Math.max(100, ...mid);
  const x = (i) => pad + (i * (width - 2 * pad)) / Math.max(1, moves.length - 1);
  const y = (m) => {
    const v = m.exact ? m.value / exScale : Math.max(-1, Math.min(1, m.value / midScale));
    return height / 2 - v * (height / 2 - pad);
  };
  const parts = [`<svg xmlns="http://www.w3.org/2000/svg" viewBox="0 0 ${width} ${height}">`,
    `<rect width="${width}" height="${height}" fill="#fafcfa"/>`];
  const firstExact = moves.findIndex((m) => m.exact);
  if (firstExact >= 0) {
    parts.push(`<rect x="${x(firstExact)}" y="0" width="${width - pad - x(firstExact)}" height="${height}" fill="#e6efe6"/>`);
    parts.push(`<text x="${width - pad}" y="14" font-size="11" text-anchor="end" fill="#555">exact (discs, ±${exScale})</text>`);
  }
  if (discs) {
    parts.push(`<text x="${pad}" y="14" font-size="11" fill="#555">discs, ±${exScale.toFixed(0)}</text>`);
  }
  parts.push(`<line x1="${pad}" x2="${width - pad}" y1="${height / 2}" y2="${height / 2}" stroke="#888"/>`);
  parts.push(`<text x="4" y="${pad}" font-size="11" fill="#555">X better</text>`);
  parts.push(`<text x="4" y="${height - pad - 4}" font-size="11" fill="#555">O better</text>`);
  const points = moves.filter((m) => m.value !== null).map((m) => `${x(m.ply).toFixed(1)},${y(m).toFixed(1)}`);
  parts.push(`<polyline points="${points.join(" ")}" fill="none" stroke="#1d4a2a" stroke-width="2"/>`);
  const colours = { inaccuracy: "#e6b800", mistake: "#f07800", blunder: "#d62020" };
  for (const m of moves) {
    if (m.mark && m.value !== null) {
      parts.push(`<circle cx="${x(m.ply)}" cy="${y(m)}" r="5" fill="${colours[m.mark]}"><title>${m.number}. ${m.move}: ${m.mark}</title></circle>`);
    }
  }
  parts.push(`<text x="${pad}" y="${height - 6}" font-size="11" fill="#555">move 1</text>`);
  parts.push(`<text x="${width - pad}" y="${height - 6}" font-size="11" text-anchor="end" fill="#555">move ${moves.length}</text>`);
  parts.push("</svg>");
  $("graph").innerHTML = parts.join("");
}

// -- start -------------------------------------------------------------------

(async () => {
  try {
    render(await call("/api/games", { side: "X" }));
    say("New game. You play X (black) and move first.");
    await afterChange();
  } catch (err) {
    setStatus("The page could not reach the flipcore server.");
    say(err.message, "error");
  }
})();
