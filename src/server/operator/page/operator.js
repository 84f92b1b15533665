// The operator's page: every board with its live preview and health, the
// notice, delay and cancellation forms, and the history. Every text from the
// server is put in with textContent, never as markup. Every form carries
// the session's CSRF token in a hidden field, and is sent as JSON.
//
// The page is refreshed every two seconds by difference: rows and cards are
// made once and only their texts change, so a field being typed in keeps
// its value and the focus stays where it is. Results show in a bar at the
// bottom of the screen, in both languages; delays, cancellations and
// clearings can be undone from that bar for ten seconds, and a melody plays
// only on a second tap.
"use strict";

const REFRESH_MS = 2000;
const DEPARTURES_MS = 5000;
const UNDO_SECONDS = 10;
const ARMED_MS = 5000;
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

// Changes a node's text only when it differs, so nothing flickers or is
// read out again by a screen reader.
function setText(node, text) {
  if (node.textContent !== text) node.textContent = text;
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

// ---------------------------------------------------------------- results

const result = { timer: 0, undo: null };

// Shows a result in the bar at the bottom. `undo`, when given, is what the
// Undo button does in the next ten seconds.
function say(text, bad, undo) {
  const bar = document.getElementById("result");
  const undoButton = document.getElementById("undo");
  clearInterval(result.timer);
  result.undo = undo || null;
  document.getElementById("message").textContent = text;
  bar.classList.toggle("bad", Boolean(bad));
  bar.hidden = false;
  undoButton.hidden = !undo;
  let left = undo ? UNDO_SECONDS : 15;
  const tick = () => {
    if (undo) undoButton.textContent = "取り消す / Undo (" + left + ")";
    if (left-- <= 0) {
      clearInterval(result.timer);
      result.undo = null;
      undoButton.hidden = true;
      // An error stays until it is closed; a result goes by itself.
      if (!bad && !bar.contains(document.activeElement)) bar.hidden = true;
    }
  };
  tick();
  result.timer = setInterval(tick, 1000);
}

function startResultBar() {
  document.getElementById("undo").addEventListener("click", async () => {
    const undo = result.undo;
    if (!undo) return;
    clearInterval(result.timer);
    result.undo = null;
    document.getElementById("undo").hidden = true;
    try { say(await undo()); } catch (e) { say("取り消せませんでした / Could not undo: " + e.message, true); }
  });
  document.getElementById("result-close").addEventListener("click", () => {
    clearInterval(result.timer);
    result.undo = null;
    document.getElementById("result").hidden = true;
  });
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
let lastBoards = null;

function agoText(seconds) {
  if (seconds < 120) return ["最終受信 " + seconds + "秒前", "last heard " + seconds + " s ago"];
  if (seconds < 7200) return ["最終受信 " + Math.floor(seconds / 60) + "分前", "last heard " + Math.floor(seconds / 60) + " min ago"];
  return ["最終受信 " + Math.floor(seconds / 3600) + "時間前", "last heard " + Math.floor(seconds / 3600) + " h ago"];
}

function healthText(health) {
  if (!health || health.seconds_since === null || health.seconds_since === undefined) {
    return "起動後 受信なし / not heard since the server started";
  }
  const [jp, en] = agoText(health.seconds_since);
  return jp + " / " + en;
}

function boardName(board) {
  return board.number + "番 " + board.name;
}

const APPROACH = [
  ["auto", "自動 / Auto"],
  ["on", "常に表示 / Always on"],
  ["off", "表示しない / Off"],
];

function approachControls(board) {
  const form = actionForm("controls approach",
    el("span", { class: "caption", id: "approach-" + board.number, text: "接近表示 / Approach warning" }),
    ...APPROACH.map(([mode, text]) => el("button", { type: "submit", value: mode, text, "aria-pressed": "false",
      "aria-describedby": "approach-" + board.number })));
  form.addEventListener("submit", async (event) => {
    event.preventDefault();
    const body = formObject(form);
    body.mode = event.submitter ? event.submitter.value : "auto";
    const words = APPROACH.find(([mode]) => mode === body.mode)[1].split(" / ");
    try {
      await post("/api/v1/boards/" + board.number + "/approach", body);
      say(boardName(board) + " 接近表示 " + words[0] + " / approach warning " + words[1].toLowerCase() + " on board " + board.number);
      refresh();
    } catch (e) { say(e.message, true); }
  });
  return form;
}

// The melody plays only on a second tap within five seconds.
function melodyControl(board) {
  const idle = "♪ 発車メロディ / Play melody";
  const button = el("button", { type: "submit", text: idle });
  const form = actionForm("controls melody", button);
  let armed = 0;
  const disarm = () => { clearTimeout(armed); armed = 0; button.classList.remove("armed"); button.textContent = idle; };
  form.addEventListener("submit", async (event) => {
    event.preventDefault();
    if (!armed) {
      button.classList.add("armed");
      button.textContent = "もう一度押すと鳴ります / Tap again to play";
      armed = setTimeout(disarm, ARMED_MS);
      return;
    }
    disarm();
    try {
      await post("/api/v1/boards/" + board.number + "/melody", formObject(form));
      say(boardName(board) + " 発車メロディを鳴らしました / melody played on board " + board.number);
      refresh();
    } catch (e) { say(e.message, true); }
  });
  if (!board.has_melody) {
    button.disabled = true;
    button.textContent = "♪ メロディなし / No melody";
  }
  return form;
}

function makeCard(board) {
  const canvas = el("canvas", { class: "preview", width: "768", height: "144", role: "img",
    "aria-label": board.number + "番の表示 / What board " + board.number + " shows" });
  const health = el("p", { class: "health" });
  const address = el("p", { class: "address", hidden: "" });
  const unshown = el("ul", { class: "unshown", hidden: "" });
  const documentText = el("pre", { class: "document", tabindex: "0" });
  const approach = approachControls(board);
  const details = el("details", {}, el("summary", { text: "文書 / Document" }), documentText);
  const style = board.style === "new-style" ? "新型 / new-style" : "従来型 / classic";
  const card = el("article", { class: "board " + board.style, id: "board-" + board.number, "aria-labelledby": "board-title-" + board.number },
    el("h3", { id: "board-title-" + board.number }, el("span", { class: "number", text: String(board.number) }),
      el("span", { class: "name", text: board.name }), el("span", { class: "style", text: style })),
    canvas, health, address, unshown, board.style === "new-style" ? approach : "", melodyControl(board), details);
  document.getElementById("boards").append(card);
  const entry = { card, canvas, health, address, unshown, unshownKey: "", documentText, approach };
  cards.set(board.number, entry);
  return entry;
}

function drawPreview(canvas, preview) {
  if (canvas.dataset.dots === preview.dots && canvas.dataset.size === preview.width + "x" + preview.height) return;
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
  canvas.dataset.size = preview.width + "x" + preview.height;
}

// The notices a board is asked to show but cannot, with why.
function showUnshown(entry, unshown) {
  const key = JSON.stringify(unshown || []);
  if (key === entry.unshownKey) return;
  entry.unshownKey = key;
  entry.unshown.replaceChildren(...(unshown || []).map((notice) => el("li", { "data-notice": String(notice.id),
    text: "お知らせ「" + notice.text_jp + "」はこの発車標に出ていません: " + notice.reason_jp +
      " / Notice " + notice.id + " is not shown on this board: " + notice.reason_en })));
  entry.unshown.hidden = !unshown || unshown.length === 0;
}

function showFleet(reply) {
  const fleet = document.getElementById("fleet");
  const silent = reply.boards.filter((board) => !(board.health || {}).polling);
  const all = reply.boards.length;
  if (silent.length === 0) {
    setText(fleet, "全" + all + "台 受信中 / all " + all + " boards heard");
  } else {
    setText(fleet, "応答なし " + silent.length + "台: " + silent.map((board) => board.number + "番").join("・") +
      " / " + silent.length + " of " + all + " not heard: board " + silent.map((board) => board.number).join(", "));
  }
  fleet.classList.toggle("bad", silent.length > 0);
}

function showAlerts(reply) {
  const alerts = document.getElementById("alerts");
  const wanted = [];
  for (const board of reply.boards) {
    const health = board.health || {};
    if (!health.polling) {
      const ago = health.seconds_since === null || health.seconds_since === undefined ? ["受信なし", "never heard"] : agoText(health.seconds_since);
      wanted.push(["silent-alert", String(board.number), "応答なし: " + boardName(board) + "（" + ago[0] + "） / Not heard: board " +
        board.number + " (" + ago[1] + ")"]);
    }
  }
  // The agency's live feeds: one that the boards do not get in red, and the
  // alerts it has in force, listed as coming from the feed.
  for (const feed of reply.realtime || []) {
    if (feed.red) {
      wanted.push(["silent-alert feed-alert", "", "リアルタイム配信 " + feed.state + " / Live feed " + feed.state + ": " + feed.url +
        (feed.problem ? " — " + feed.problem : "")]);
    }
    for (const text of feed.alert_texts || []) {
      wanted.push(["notice-alert", "", "配信のお知らせ / From the feed: " + text.ja + (text.en ? " / " + text.en : "")]);
    }
  }
  const key = JSON.stringify(wanted);
  if (alerts.dataset.key === key) return;
  alerts.dataset.key = key;
  alerts.replaceChildren(...wanted.map(([kind, number, text]) => el("p", { class: "alert " + kind, "data-board": number, text })));
}

function showBoard(board) {
  const entry = cards.get(board.number) || makeCard(board);
  const health = board.health || {};
  const silent = !health.polling;
  entry.card.classList.toggle("silent", silent);
  entry.health.classList.toggle("bad", silent);
  setText(entry.health, healthText(health));
  // The address only matters when it changed: a board moved or replaced.
  const moved = health.new_address;
  entry.address.hidden = !moved;
  if (moved) {
    setText(entry.address, "アドレス変更 " + moved.previous + " → " + moved.address + "（" + moved.since.replace("T", " ") +
      "） / address changed from " + moved.previous + " to " + moved.address);
  }
  showUnshown(entry, board.unshown);
  setText(entry.documentText, board.document);
  for (const button of entry.approach.querySelectorAll("button")) {
    button.setAttribute("aria-pressed", String(button.value === board.approach));
  }
}

function showBoards(reply) {
  lastBoards = reply;
  setText(document.getElementById("clock"), reply.now.slice(11, 16));
  showFleet(reply);
  showAlerts(reply);
  for (const board of reply.boards) showBoard(board);
  const select = document.getElementById("train-board");
  if (select.options.length === 0) {
    for (const board of reply.boards) select.append(el("option", { value: String(board.number), text: boardName(board) }));
    const boxes = document.getElementById("notice-boards");
    for (const board of reply.boards) {
      boxes.append(el("label", { class: "choice" }, el("input", { type: "checkbox", name: "board", value: String(board.number) }), boardName(board)));
    }
    syncTarget();
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

// A notice goes to all boards or to the boards ticked, never both: the
// boxes can be ticked only while "only the boards ticked" is chosen, and
// ticking one chooses it.
function syncTarget() {
  const form = document.getElementById("notice-form");
  const all = form.querySelector('input[name="target"][value="all"]').checked;
  for (const box of form.querySelectorAll('input[name="board"]')) {
    if (all) box.checked = false;
    box.closest("label").classList.toggle("off", all);
  }
}

function chosenBoards(form) {
  return [...form.querySelectorAll('input[name="board"]:checked')].map((box) => Number(box.value));
}

// "YYYY-MM-DDTHH:MM" from a date and a time field; "" when both are empty;
// null when what was typed is no date or time.
function localTime(dateField, timeField) {
  let date = dateField.value.trim();
  let time = timeField.value.trim();
  if (!date && !time) return "";
  if (!date && lastBoards) date = lastBoards.now.slice(0, 10);
  if (!time) time = "00:00";
  if (/^\d:\d\d$/.test(time)) time = "0" + time;
  if (!/^\d{4}-\d{2}-\d{2}$/.test(date) || !/^\d{2}:\d{2}$/.test(time)) return null;
  return date + "T" + time;
}

function noticeBody(form) {
  const fields = form.elements;
  const all = form.querySelector('input[name="target"][value="all"]').checked;
  const body = {
    csrf: fields.csrf ? fields.csrf.value : "",
    boards: all ? "all" : chosenBoards(form),
    text_jp: fields.text_jp.value,
    text_en: fields.text_en.value,
    scrolling: fields.scrolling.value === "true",
    color: fields.color.value,
    start: localTime(fields.start_date, fields.start_time),
    end: localTime(fields.end_date, fields.end_time),
  };
  if (!fields.csrf) delete body.csrf;
  return body;
}

function targetText(boards) {
  if (boards === "all") return ["全発車標", "all boards"];
  return [boards.map((number) => number + "番").join("・"), (boards.length === 1 ? "board " : "boards ") + boards.join(", ")];
}

function startNotices() {
  const form = document.getElementById("notice-form");
  for (const radio of form.querySelectorAll('input[name="target"]')) radio.addEventListener("change", syncTarget);
  document.getElementById("notice-boards").addEventListener("change", (event) => {
    if (event.target.checked) form.querySelector('input[name="target"][value="chosen"]').checked = true;
    syncTarget();
  });
  form.addEventListener("submit", async (event) => {
    event.preventDefault();
    const body = noticeBody(form);
    const id = form.elements.id.value;
    if (body.boards !== "all" && body.boards.length === 0) {
      say("発車標を選んでください / Tick at least one board, or choose all boards", true);
      return;
    }
    if (body.start === null || body.end === null) {
      say("日付は 2026-12-07、時刻は 08:30 の形で / Dates as 2026-12-07, times as 08:30 (24-hour)", true);
      return;
    }
    try {
      const saved = await post(id ? "/api/v1/notices/" + id : "/api/v1/notices", body);
      const [jp, en] = targetText(body.boards);
      newNotice(false);
      // A round begun before the post may not hold the new notice yet.
      if (refreshing) await refreshing;
      await refresh();
      const cannot = lastBoards ? lastBoards.boards.filter((board) => (board.unshown || []).some((n) => n.id === saved.id)) : [];
      say((id ? "お知らせを変更しました（" : "お知らせを掲示しました（") + jp + "） / " + (id ? "Notice changed" : "Notice posted") + " to " + en +
        (cannot.length ? "。ただし " + cannot.map((board) => board.number + "番").join("・") + " には出ません（理由はその発車標の欄） / but board " +
          cannot.map((board) => board.number).join(", ") + " cannot show it: see its card" : ""), cannot.length > 0);
    } catch (e) { say(e.message, true); }
  });
  document.getElementById("notice-new").addEventListener("click", () => {
    newNotice(true);
    say("新しいお知らせを書けます / Write a new notice");
  });
}

// Empties the form for a new notice: every field back to its default, the
// board choice back to all boards.
function newNotice(focus) {
  const form = document.getElementById("notice-form");
  for (const name of ["id", "text_jp", "text_en", "start_date", "start_time", "end_date", "end_time"]) form.elements[name].value = "";
  form.elements.scrolling.value = "false";
  form.elements.color.value = "Y";
  form.querySelector('input[name="target"][value="all"]').checked = true;
  for (const box of form.querySelectorAll('input[name="board"]')) box.checked = false;
  syncTarget();
  document.getElementById("notice-submit").textContent = "掲示 / Post notice";
  document.getElementById("notice-form-title").textContent = "新しいお知らせ / New notice";
  if (focus) document.getElementById("notice-jp").focus();
}

function editNotice(notice) {
  const form = document.getElementById("notice-form");
  form.elements.id.value = notice.id;
  form.elements.text_jp.value = notice.text_jp;
  form.elements.text_en.value = notice.text_en;
  form.elements.scrolling.value = notice.scrolling ? "true" : "false";
  form.elements.color.value = notice.color;
  form.elements.start_date.value = notice.start.slice(0, 10);
  form.elements.start_time.value = notice.start.slice(11, 16);
  form.elements.end_date.value = notice.end.slice(0, 10);
  form.elements.end_time.value = notice.end.slice(11, 16);
  form.querySelector('input[name="target"][value="' + (notice.boards === "all" ? "all" : "chosen") + '"]').checked = true;
  for (const box of form.querySelectorAll('input[name="board"]')) {
    box.checked = notice.boards !== "all" && notice.boards.includes(Number(box.value));
  }
  syncTarget();
  document.getElementById("notice-submit").textContent = "変更を保存 / Save changes";
  document.getElementById("notice-form-title").textContent = "お知らせ " + notice.id + " を変更中 / Changing notice " + notice.id;
  document.getElementById("notice-jp").focus();
}

function whenText(notice) {
  const start = notice.start.replace("T", " ").slice(0, 16);
  const end = notice.end.replace("T", " ").slice(0, 16);
  if (!start && !end) return "常時 / always";
  if (!end) return start + " から / from " + start;
  if (!start) return end + " まで / until " + end;
  return start + " 〜 " + end;
}

const noticeRows = new Map();

function makeNoticeRow(notice) {
  const text = el("span", { class: "notice-text" });
  const english = el("span", { class: "notice-text-en", lang: "en" });
  const meta = el("span", { class: "notice-meta" });
  const edit = el("button", { type: "button", text: "変更 / Edit" });
  const end = actionForm("inline", el("button", { type: "submit", class: "danger", text: "終了 / End" }));
  const row = { notice, text, english, meta };
  edit.addEventListener("click", () => editNotice(row.notice));
  end.addEventListener("submit", async (event) => {
    event.preventDefault();
    try {
      const ended = row.notice;
      await post("/api/v1/notices/" + ended.id + "/end", formObject(end));
      // Undone by posting the same notice again.
      say("お知らせ「" + ended.text_jp + "」を終了しました / Notice ended", false, async () => {
        await post("/api/v1/notices", { csrf: csrfToken(), boards: ended.boards, text_jp: ended.text_jp, text_en: ended.text_en,
          scrolling: ended.scrolling, color: ended.color, start: ended.start.slice(0, 16), end: ended.end.slice(0, 16) });
        refresh();
        return "お知らせを戻しました / Notice back: " + ended.text_jp;
      });
      refresh();
    } catch (e) { say(e.message, true); }
  });
  row.item = el("li", { class: "notice-row", "data-notice": String(notice.id) }, text, english, meta,
    el("div", { class: "buttons" }, edit, end));
  return row;
}

function showNotices(reply) {
  const list = document.getElementById("notices");
  const seen = new Set();
  for (const notice of reply.notices) {
    seen.add(notice.id);
    let row = noticeRows.get(notice.id);
    if (!row) {
      row = makeNoticeRow(notice);
      noticeRows.set(notice.id, row);
      list.append(row.item);
    }
    row.notice = notice;
    setText(row.text, notice.text_jp);
    row.text.className = "notice-text color-" + notice.color;
    setText(row.english, notice.text_en);
    const [jp, en] = targetText(notice.boards);
    setText(row.meta, jp + " / " + en + " · " + whenText(notice) + (notice.scrolling ? " · スクロール / scrolling" : ""));
  }
  for (const [id, row] of noticeRows) {
    if (!seen.has(id) && !row.item.contains(document.activeElement)) {
      row.item.remove();
      noticeRows.delete(id);
    }
  }
  document.getElementById("notices-empty").hidden = reply.notices.length > 0;
}

// ---------------------------------------------------------------- trains

// How staff name a train: 「8:18 普通 港南行き」 and "8:18 Local to Konan".
function trainNames(departure) {
  const number = departure.train_number;
  const jp = departure.time + " " + (departure.route_jp ? departure.route_jp + " " : "") + departure.destination_jp + "行き" +
    (number ? "（" + number + "）" : "");
  const type = departure.route_en || departure.route_jp;
  const en = departure.time + " " + (type ? type + " " : "") + "to " + (departure.destination_en || departure.destination_jp) +
    (number ? " (" + number + ")" : "");
  return [jp, en];
}

function stateText(state) {
  if (state.cancelled) return ["運休", "cancelled"];
  if (state.delay_minutes) return ["約" + state.delay_minutes + "分遅れ", state.delay_minutes + " min late"];
  return ["定刻", "on time"];
}

function resultText(departure, state) {
  const [jp, en] = trainNames(departure);
  const [stateJp, stateEn] = stateText(state);
  return jp + " " + stateJp + " / " + en + ", " + stateEn;
}

// Puts a train back as it was: late, cancelled or as timetabled.
async function setTrain(board, departure, state) {
  const request = { csrf: csrfToken(), board: Number(board), trip_id: departure.trip_id, service_date: departure.service_date };
  // A trip run at a frequency leaves several times a day: the change is of this run alone.
  if (departure.run_start !== null && departure.run_start !== undefined) request.run_start = departure.run_start;
  if (state.cancelled) await post("/api/v1/cancellations", request);
  else if (state.delay_minutes) await post("/api/v1/delays", Object.assign(request, { minutes: state.delay_minutes }));
  else await post("/api/v1/trains/clear", request);
}

const trainRows = new Map();
let trainCount = 0;

function makeTrainRow(board, departure) {
  const id = "train-" + ++trainCount;
  const time = el("span", { class: "time" });
  const type = el("span", { class: "type" });
  const number = el("span", { class: "number" });
  const destination = el("span", { class: "dest" });
  const english = el("span", { class: "dest-en", lang: "en" });
  const state = el("span", { class: "state" });
  const summary = el("button", { type: "button", class: "train-summary", "aria-expanded": "false", "aria-controls": id },
    time, el("span", { class: "what" }, type, number, destination), state, english);
  const minutes = el("input", { type: "number", name: "minutes", min: "1", max: "720", inputmode: "numeric", id: id + "-minutes", class: "minutes" });
  const clear = el("button", { type: "submit", value: "clear", text: "解除 / Clear" });
  const actions = actionForm("train-actions",
    el("label", { for: id + "-minutes", text: "遅れ（分） / Minutes late" }), minutes,
    el("button", { type: "submit", value: "delay", class: "primary", text: "遅延を掲示 / Post delay" }),
    el("button", { type: "submit", value: "cancel", class: "danger", text: "運休 / Cancel train" }), clear);
  actions.id = id;
  actions.hidden = true;
  const row = { board, departure, time, type, number, destination, english, state, summary, minutes, clear, actions, dirty: false };
  summary.addEventListener("click", () => {
    actions.hidden = !actions.hidden;
    summary.setAttribute("aria-expanded", String(!actions.hidden));
  });
  minutes.addEventListener("input", () => { row.dirty = true; });
  actions.addEventListener("submit", (event) => {
    event.preventDefault();
    trainAction(row, event.submitter ? event.submitter.value : "delay");
  });
  row.item = el("li", { "data-trip": departure.trip_id }, summary, actions);
  return row;
}

async function trainAction(row, action) {
  const departure = row.departure;
  const before = { cancelled: departure.cancelled, delay_minutes: departure.delay_minutes };
  const after = { cancelled: action === "cancel", delay_minutes: 0 };
  if (action === "delay") {
    after.delay_minutes = Number(row.minutes.value);
    if (!Number.isInteger(after.delay_minutes) || after.delay_minutes < 1 || after.delay_minutes > 720) {
      say("遅れは 1〜720 分で / Minutes late must be 1 to 720", true);
      row.minutes.focus();
      return;
    }
  }
  try {
    await setTrain(row.board, departure, after);
  } catch (e) { say(e.message, true); return; }
  row.dirty = false;
  say(resultText(departure, after), false, async () => {
    await setTrain(row.board, departure, before);
    refreshDepartures();
    refresh();
    return "元に戻しました / Undone: " + resultText(departure, before);
  });
  refreshDepartures();
  refresh();
}

function showTrainRow(row, departure) {
  row.departure = departure;
  const changed = departure.cancelled || departure.delay_minutes > 0;
  row.item.className = departure.cancelled ? "cancelled" : departure.delay_minutes ? "late" : "";
  setText(row.time, departure.time);
  setText(row.type, departure.route_jp + (departure.route_en ? " " + departure.route_en : ""));
  row.type.hidden = !departure.route_jp;
  setText(row.number, departure.train_number || "");
  row.number.hidden = !departure.train_number;
  setText(row.destination, departure.destination_jp + "行き");
  setText(row.english, departure.destination_en ? "to " + departure.destination_en : "");
  const [jp, en] = stateText(departure);
  setText(row.state, jp + " / " + en);
  // Clear only where there is something to clear.
  row.clear.hidden = !changed;
  // Minutes being typed are never touched; the rest follow the server.
  if (!row.dirty && document.activeElement !== row.minutes) row.minutes.value = String(departure.delay_minutes || 5);
}

let departuresBoard = "";

async function refreshDepartures() {
  const board = document.getElementById("train-board").value;
  if (!board) return;
  let reply;
  try { reply = await getJson("/api/v1/boards/" + board + "/departures"); } catch (e) { return; }
  if (document.getElementById("train-board").value !== board) return;
  const list = document.getElementById("departures");
  if (departuresBoard !== board) {
    list.replaceChildren();
    trainRows.clear();
    departuresBoard = board;
  }
  const seen = new Set();
  let previous = null;
  for (const departure of reply.departures) {
    // A trip run at a frequency leaves several times a day, each run named by its start.
    const key = departure.trip_id + "|" + departure.service_date + "|" + (departure.run_start ?? departure.time);
    seen.add(key);
    let row = trainRows.get(key);
    if (!row) {
      row = makeTrainRow(board, departure);
      trainRows.set(key, row);
      if (previous) previous.after(row.item); else list.prepend(row.item);
    }
    showTrainRow(row, departure);
    previous = row.item;
  }
  for (const [key, row] of trainRows) {
    if (!seen.has(key) && !row.item.contains(document.activeElement)) {
      row.item.remove();
      trainRows.delete(key);
    }
  }
  document.body.dataset.departureRounds = String(Number(document.body.dataset.departureRounds || 0) + 1);
}

// ---------------------------------------------------------------- history

const historyRows = new Map();

function showHistory(reply) {
  const list = document.getElementById("history");
  let first = list.firstChild;
  // Newest first; lines never change, so only new ones are added.
  for (const line of reply.history) {
    if (historyRows.has(line.id)) continue;
    const item = el("li", {}, el("span", { class: "at", text: line.at.replace("T", " ") }), el("span", { class: "who", text: line.who }),
      el("span", { class: "what", text: line.what }));
    historyRows.set(line.id, item);
    if (first && Number(first.dataset.id) < line.id) list.insertBefore(item, first);
    else list.append(item);
    item.dataset.id = String(line.id);
  }
  while (historyRows.size > reply.history.length && list.lastChild) {
    historyRows.delete(Number(list.lastChild.dataset.id));
    list.lastChild.remove();
  }
}

// ---------------------------------------------------------------- rounds

let refreshing = null;
function refresh() {
  if (!refreshing) {
    refreshing = (async () => {
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
        refreshing = null;
      }
    })();
  }
  return refreshing;
}

function startApp() {
  startResultBar();
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
  setInterval(refreshDepartures, DEPARTURES_MS);
}

document.addEventListener("DOMContentLoaded", () => {
  if (document.getElementById("login-form")) startLogin();
  else startApp();
});
