// The operator's page: every board with its live preview and health, the
// notice, delay and cancellation forms, and the history. Every text from the
// server is put in with textContent, never as markup. Every form carries
// the session's CSRF token in a hidden field, and is sent as JSON.
"use strict";

const REFRESH_MS = 2000;
const csrfToken = () => (document.querySelector('meta[name="csrf"]') || {}).content || "";

function el(tag, attrs, ...children) {
  const node = document.createElement(tag);
  for (const [key, value] of Object.entries(attrs || {})) {
    if (key === "class") node.className = value;
    else if (key === "text") node.textContent = value;
    else node.setAttribute(key, value);
  }
  for (const child of children) node.append(child);
  return node;
}

// A form of its own with the CSRF field, for the buttons made in lists.
function actionForm(className, ...children) {
  return el("form", { class: className }, el("input", { type: "hidden", name: "csrf", value: csrfToken() }), ...children);
}

function formObject(form) {
  const object = {};
  for (const [key, value] of new FormData(form).entries()) object[key] = value;
  return object;
}

async function post(path, body) {
  const response = await fetch(path, {
    method: "POST",
    headers: { "Content-Type": "application/json" },
    credentials: "same-origin",
    body: JSON.stringify(body),
  });
  let reply = {};
  try { reply = await response.json(); } catch (e) { reply = {}; }
  if (!response.ok) throw new Error(reply.error || response.status + " " + response.statusText);
  return reply;
}

async function getJson(path) {
  const response = await fetch(path, { credentials: "same-origin" });
  if (response.status === 401) { location.reload(); throw new Error("logged out"); }
  if (!response.ok) throw new Error(path + ": " + response.status);
  return response.json();
}

function say(text, bad) {
  const message = document.getElementById("message");
  message.textContent = text;
  message.className = bad ? "message error" : "message";
}

// ---------------------------------------------------------------- login

function startLogin() {
  const form = document.getElementById("login-form");
  form.addEventListener("submit", async (event) => {
    event.preventDefault();
    const error = document.getElementById("login-error");
    error.textContent = "";
    try {
      await post("/login", formObject(form));
      location.reload();
    } catch (e) {
      error.textContent = e.message;
    }
  });
}

// ---------------------------------------------------------------- boards

const cards = new Map();

function durationText(seconds) {
  if (seconds === null || seconds === undefined) return "起動後 応答なし / never since the server started";
  if (seconds < 120) return seconds + " 秒 / s";
  if (seconds < 7200) return Math.floor(seconds / 60) + " 分 / min";
  return Math.floor(seconds / 3600) + " 時間 / h";
}

function makeCard(board) {
  const canvas = el("canvas", { class: "preview", width: "768", height: "144" });
  const health = el("p", { class: "health" });
  const documentText = el("pre", { class: "document" });
  const approach = actionForm("approach",
    el("span", { text: "接近表示 / Approach: " }),
    ...["auto", "on", "off"].map((mode) => el("button", { type: "submit", name: "mode", value: mode, text: mode })));
  approach.addEventListener("submit", async (event) => {
    event.preventDefault();
    const body = formObject(approach);
    body.mode = event.submitter ? event.submitter.value : "auto";
    try {
      await post("/api/v1/boards/" + board.number + "/approach", body);
      say("接近表示 / approach warning: " + body.mode + " (" + board.number + ")");
      refresh();
    } catch (e) { say(e.message, true); }
  });
  const melody = actionForm("melody", el("button", { type: "submit", text: "♪ 発車メロディ / Play melody" }));
  melody.addEventListener("submit", async (event) => {
    event.preventDefault();
    try {
      await post("/api/v1/boards/" + board.number + "/melody", formObject(melody));
      say("メロディ / melody: " + board.number);
      refresh();
    } catch (e) { say(e.message, true); }
  });
  if (!board.has_melody) melody.querySelector("button").disabled = true;
  const details = el("details", {}, el("summary", { text: "文書 / Document" }), documentText);
  const card = el("article", { class: "board " + board.style, id: "board-" + board.number },
    el("h3", {}, el("span", { class: "number", text: String(board.number) }), el("span", { class: "name", text: board.name }),
      el("span", { class: "style", text: board.style })),
    canvas, health, board.style === "new-style" ? approach : "", melody, details);
  document.getElementById("boards").append(card);
  const entry = { card, canvas, health, documentText, approach };
  cards.set(board.number, entry);
  return entry;
}

function drawPreview(canvas, preview) {
  const dots = Uint8Array.from(atob(preview.dots), (c) => c.charCodeAt(0));
  const pitch = Math.max(2, Math.floor(Math.min(1152 / preview.width, 480 / preview.height)));
  canvas.width = preview.width * pitch;
  canvas.height = preview.height * pitch;
  const context = canvas.getContext("2d");
  context.fillStyle = "#000";
  context.fillRect(0, 0, canvas.width, canvas.height);
  const size = Math.max(1, pitch - 1);
  for (let y = 0; y < preview.height; y++) {
    for (let x = 0; x < preview.width; x++) {
      const index = dots[y * preview.width + x];
      context.fillStyle = index ? preview.palette[index & 15] : "#1a1a1a";
      context.fillRect(x * pitch, y * pitch, size, size);
    }
  }
  canvas.dataset.dots = preview.dots;
}

function showBoards(reply) {
  document.getElementById("clock").textContent = reply.now.replace("T", " ");
  const alerts = document.getElementById("alerts");
  alerts.replaceChildren();
  for (const board of reply.boards) {
    const entry = cards.get(board.number) || makeCard(board);
    const health = board.health || {};
    const silent = !health.polling;
    entry.card.classList.toggle("silent", silent);
    entry.health.textContent = health.last_request
      ? "最終要求 / last request " + health.last_request + " (" + durationText(health.seconds_since) + ") from " + health.address
      : "要求なし / no request yet";
    entry.documentText.textContent = board.document;
    entry.approach.dataset.mode = board.approach;
    for (const button of entry.approach.querySelectorAll("button")) {
      button.classList.toggle("chosen", button.value === board.approach);
    }
    if (silent) {
      alerts.append(el("p", { class: "alert silent-alert", "data-board": String(board.number),
        text: "応答なし / Not polling: " + board.number + " " + board.name + " — " + durationText(health.seconds_since) }));
    }
    if (health.new_address) {
      alerts.append(el("p", { class: "alert notice-alert",
        text: "新しいアドレス / New address: " + board.number + " " + board.name + " — " + health.new_address.address +
          " (was " + health.new_address.previous + ", " + health.new_address.since + ")" }));
    }
  }
  // The agency's live feeds: one that the boards do not get in red, and the
  // alerts it has in force, listed as coming from the feed.
  for (const feed of reply.realtime || []) {
    if (feed.red) {
      alerts.append(el("p", { class: "alert silent-alert feed-alert",
        text: "リアルタイム配信 / Live feed " + feed.state + ": " + feed.url + (feed.problem ? " — " + feed.problem : "") }));
    }
    for (const text of feed.alert_texts || []) {
      alerts.append(el("p", { class: "alert notice-alert", text: "配信のお知らせ / From the feed: " + text.ja + (text.en ? " / " + text.en : "") }));
    }
  }
  const select = document.getElementById("train-board");
  if (select.options.length === 0) {
    for (const board of reply.boards) select.append(el("option", { value: String(board.number), text: board.number + " " + board.name }));
    const boxes = document.getElementById("notice-boards");
    for (const board of reply.boards) {
      boxes.append(el("label", {}, el("input", { type: "checkbox", name: "board", value: String(board.number) }), " " + board.number + " " + board.name));
    }
    refreshDepartures();
  }
}

async function refreshPreviews() {
  for (const [number, entry] of cards) {
    try {
      drawPreview(entry.canvas, await getJson("/api/v1/boards/" + number + "/preview"));
    } catch (e) { /* the next round tries again */ }
  }
}

// ---------------------------------------------------------------- notices

function noticeBody(form) {
  const body = formObject(form);
  const boards = [...form.querySelectorAll('input[name="board"]:checked')].map((box) => Number(box.value));
  body.boards = form.querySelector('input[name="all"]').checked || boards.length === 0 ? "all" : boards;
  delete body.board;
  delete body.all;
  body.scrolling = body.scrolling === "true";
  return body;
}

function startNotices() {
  const form = document.getElementById("notice-form");
  form.addEventListener("submit", async (event) => {
    event.preventDefault();
    const body = noticeBody(form);
    const id = body.id;
    delete body.id;
    try {
      await post(id ? "/api/v1/notices/" + id : "/api/v1/notices", body);
      say(id ? "お知らせを変更しました / Notice changed" : "お知らせを掲示しました / Notice posted");
      clearNoticeForm();
      refresh();
    } catch (e) { say(e.message, true); }
  });
  document.getElementById("notice-new").addEventListener("click", clearNoticeForm);
}

function clearNoticeForm() {
  const form = document.getElementById("notice-form");
  for (const name of ["id", "text_jp", "text_en", "start", "end"]) form.elements[name].value = "";
  document.getElementById("notice-submit").textContent = "掲示 / Post notice";
}

function editNotice(notice) {
  const form = document.getElementById("notice-form");
  form.elements.id.value = notice.id;
  form.elements.text_jp.value = notice.text_jp;
  form.elements.text_en.value = notice.text_en;
  form.elements.scrolling.value = notice.scrolling ? "true" : "false";
  form.elements.color.value = notice.color;
  form.elements.start.value = notice.start.slice(0, 16);
  form.elements.end.value = notice.end.slice(0, 16);
  form.querySelector('input[name="all"]').checked = notice.boards === "all";
  for (const box of form.querySelectorAll('input[name="board"]')) {
    box.checked = notice.boards !== "all" && notice.boards.includes(Number(box.value));
  }
  document.getElementById("notice-submit").textContent = "変更 / Change notice " + notice.id;
}

function showNotices(reply) {
  const body = document.querySelector("#notices tbody");
  body.replaceChildren();
  for (const notice of reply.notices) {
    const end = actionForm("inline", el("button", { type: "submit", text: "終了 / End" }));
    end.addEventListener("submit", async (event) => {
      event.preventDefault();
      try {
        await post("/api/v1/notices/" + notice.id + "/end", formObject(end));
        say("お知らせを終了しました / Notice ended");
        refresh();
      } catch (e) { say(e.message, true); }
    });
    const edit = el("button", { type: "button", text: "変更 / Edit" });
    edit.addEventListener("click", () => editNotice(notice));
    body.append(el("tr", { class: "notice-row" },
      el("td", { text: String(notice.id) }),
      el("td", { text: notice.boards === "all" ? "全 / all" : notice.boards.join(", ") }),
      el("td", {}, el("span", { class: "notice-text color-" + notice.color, text: notice.text_jp }), el("br"),
        el("span", { class: "notice-text-en", text: notice.text_en })),
      el("td", { text: (notice.start || "—") + " → " + (notice.end || "—") + (notice.scrolling ? " ⇠" : "") }),
      el("td", {}, edit, end)));
  }
}

// ---------------------------------------------------------------- trains

async function refreshDepartures() {
  const board = document.getElementById("train-board").value;
  if (!board) return;
  let reply;
  try { reply = await getJson("/api/v1/boards/" + board + "/departures"); } catch (e) { return; }
  const body = document.querySelector("#departures tbody");
  body.replaceChildren();
  for (const departure of reply.departures) {
    const minutes = el("input", { type: "number", name: "minutes", min: "1", max: "720", value: String(departure.delay_minutes || 5) });
    const form = actionForm("train", minutes,
      el("button", { type: "submit", value: "delay", text: "遅延 / Delay" }),
      el("button", { type: "submit", value: "cancel", text: "運休 / Cancel" }),
      el("button", { type: "submit", value: "clear", text: "解除 / Clear" }));
    form.addEventListener("submit", async (event) => {
      event.preventDefault();
      const action = event.submitter ? event.submitter.value : "delay";
      const request = formObject(form);
      request.board = Number(board);
      request.trip_id = departure.trip_id;
      request.service_date = departure.service_date;
      if (action !== "delay") delete request.minutes;
      const path = { delay: "/api/v1/delays", cancel: "/api/v1/cancellations", clear: "/api/v1/trains/clear" }[action];
      try {
        const reply = await post(path, request);
        say(reply.done);
        refresh();
        refreshDepartures();
      } catch (e) { say(e.message, true); }
    });
    const state = departure.cancelled ? "運休 / cancelled"
      : departure.delay_minutes ? "約" + departure.delay_minutes + "分遅れ / " + departure.delay_minutes + " min late" : "定刻 / on time";
    body.append(el("tr", { class: departure.cancelled ? "cancelled" : departure.delay_minutes ? "late" : "" },
      el("td", { text: departure.time }),
      el("td", { text: departure.destination_jp + (departure.destination_en ? " / " + departure.destination_en : "") }),
      el("td", { text: state }),
      el("td", {}, form)));
  }
}

// ---------------------------------------------------------------- history

function showHistory(reply) {
  const body = document.querySelector("#history tbody");
  body.replaceChildren();
  for (const line of reply.history) {
    body.append(el("tr", {}, el("td", { text: line.at.replace("T", " ") }), el("td", { text: line.who }), el("td", { text: line.what })));
  }
}

// ---------------------------------------------------------------- rounds

let refreshing = false;
async function refresh() {
  if (refreshing) return;
  refreshing = true;
  try {
    const [boards, notices, history] = await Promise.all([
      getJson("/api/v1/boards"), getJson("/api/v1/notices"), getJson("/api/v1/history?limit=100")]);
    showBoards(boards);
    showNotices(notices);
    showHistory(history);
    await refreshPreviews();
  } catch (e) {
    say("サーバーと通信できません / cannot reach the server: " + e.message, true);
  } finally {
    refreshing = false;
  }
}

function startApp() {
  startNotices();
  document.getElementById("train-board").addEventListener("change", refreshDepartures);
  const logout = document.getElementById("logout-form");
  logout.addEventListener("submit", async (event) => {
    event.preventDefault();
    try { await post("/logout", formObject(logout)); } catch (e) { /* reload shows the login either way */ }
    location.reload();
  });
  refresh();
  setInterval(refresh, REFRESH_MS);
  setInterval(refreshDepartures, 10 * REFRESH_MS);
}

document.addEventListener("DOMContentLoaded", () => {
  if (document.getElementById("login-form")) startLogin();
  else startApp();
});
