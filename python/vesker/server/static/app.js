// The page: routes the URL fragment to a view, and drives it from the keyboard.

import { h, errorPanel } from "./ui.js";
import * as views from "./views.js";
import { tree } from "./tree.js";

const view = document.getElementById("view");

// Fragment path -> view; a path parameter (an id) is passed after the query parameters.
const ROUTES = [
  [/^\/?$/, views.overview],
  [/^\/types$/, views.types],
  [/^\/objects$/, views.objects],
  [/^\/object\/([^/]+)$/, views.object],
  [/^\/path$/, views.path],
  [/^\/common$/, views.common],
  [/^\/compare$/, views.compare],
  [/^\/sites$/, views.sites],
  [/^\/tree$/, tree],
  [/^\/tree\/([^/]+)$/, tree],
];

let rendering = 0;

async function render() {
  const fragment = location.hash.replace(/^#/, "") || "/";
  const [pathPart, queryPart = ""] = fragment.split("?", 2);
  const params = new URLSearchParams(queryPart);
  const ticket = ++rendering;
  document.body.classList.add("busy");
  let content;
  try {
    const route = ROUTES.find(([pattern]) => pattern.test(pathPart));
    if (!route) throw new views.ApiError(404, `no view at ${pathPart}`);
    const match = pathPart.match(route[0]);
    content = await route[1](params, ...match.slice(1).map(decodeURIComponent));
  } catch (error) {
    content = errorPanel(error instanceof views.ApiError ? error : { message: String(error) });
  }
  if (ticket !== rendering) return; // a later navigation won
  document.body.classList.remove("busy");
  const focused = document.activeElement?.id;
  view.replaceChildren(...[content].flat().filter((node) => node !== null && node !== undefined));
  const title = view.querySelector("h1, h2");
  document.title = title ? `${title.textContent} – vesker` : "vesker";
  for (const anchor of document.querySelectorAll("#nav a")) {
    anchor.classList.toggle("active", anchor.getAttribute("href").split("?")[0] === `#${pathPart}` ||
      (pathPart === "/" && anchor.getAttribute("href") === "#/"));
  }
  const again = focused && document.getElementById(focused);
  if (again && again.tagName === "INPUT") { again.focus(); again.setSelectionRange?.(again.value.length, again.value.length); }
  else view.focus({ preventScroll: true });
}

// -- keyboard ---------------------------------------------------------------------

function rows() { return [...view.querySelectorAll("tr.row")]; }

function moveRow(step) {
  const all = rows();
  if (!all.length) return;
  const current = all.indexOf(document.activeElement);
  const next = current < 0 ? (step > 0 ? 0 : all.length - 1) : Math.min(all.length - 1, Math.max(0, current + step));
  all[next].focus();
}

function followPage(rel) {
  // The pager of the table holding the focused row, else the first pager.
  const section = document.activeElement?.closest?.("section") || view;
  const anchor = section.querySelector(`a[data-page="${rel}"]`) || view.querySelector(`a[data-page="${rel}"]`);
  if (anchor) location.hash = anchor.getAttribute("href");
}

const help = document.getElementById("help");
const toggleHelp = (show = help.hidden) => { help.hidden = !show; };
document.getElementById("help-button").addEventListener("click", () => toggleHelp());

document.getElementById("goto").addEventListener("submit", (event) => {
  event.preventDefault();
  const input = document.getElementById("goto-id");
  const id = input.value.trim();
  if (id) { input.value = ""; input.blur(); location.hash = `#/object/${encodeURIComponent(id)}`; }
});

document.addEventListener("keydown", (event) => {
  if (event.ctrlKey || event.metaKey || event.altKey) return;
  const target = event.target;
  const typing = target instanceof HTMLInputElement || target instanceof HTMLTextAreaElement;
  if (event.key === "Escape") { toggleHelp(false); if (typing) target.blur(); return; }
  if (typing) return;
  const navigation = document.querySelector(`#nav a[data-key="${event.key}"]:not([hidden])`);
  if (navigation) { location.hash = navigation.getAttribute("href"); event.preventDefault(); return; }
  switch (event.key) {
    case "j": case "ArrowDown": moveRow(1); break;
    case "k": case "ArrowUp": moveRow(-1); break;
    case "Enter": {
      // On a focused row, its first link; a focused link or button follows itself.
      const anchor = target.matches?.("tr.row") ? target.querySelector("a") : null;
      if (!anchor) return;
      location.hash = anchor.getAttribute("href");
      break;
    }
    case "]": followPage("next"); break;
    case "[": followPage("previous"); break;
    case "/": { const filter = view.querySelector("input"); if (!filter) return; filter.focus(); break; }
    case "g": document.getElementById("goto-id").focus(); break;
    case "?": toggleHelp(); break;
    case "Backspace": history.back(); break;
    default: return;
  }
  event.preventDefault();
});

// -- the store changing under the page ----------------------------------------------
// Another process may import into the store or compute its retained sizes while the page is
// open; the server then answers from the new contents, and the page says that what it shows
// was read before, until the reader asks for it again.

const CHECK_EVERY_MS = 5000;
const changed = document.getElementById("changed");
let shownGeneration = null;

function storeChanged(generation, replaced) {
  if (shownGeneration === null) { shownGeneration = generation; }
  if (replaced) {
    document.getElementById("changed-text").textContent = "The store's files were replaced or deleted since " +
      "vesker serve opened them; it goes on showing what it opened. Restart it to see the new store.";
    document.getElementById("changed-reload").hidden = true;
    changed.hidden = false;
  } else if (generation !== shownGeneration) {
    document.getElementById("changed-text").textContent = "The store changed since this page read it " +
      "(an import, or retained sizes computed again): what is shown may be out of date.";
    changed.hidden = false;
  }
}

views.generations.listener = (generation) => storeChanged(generation, false);

document.getElementById("changed-reload").addEventListener("click", async () => {
  shownGeneration = null;
  changed.hidden = true;
  views.forgetFeatures();
  await showOptionalViews();
  await render();
});

async function checkStore() {
  if (document.visibilityState !== "visible") return;
  try {
    const answer = await views.api("/store");
    storeChanged(String(answer.generation), answer.replaced);
  } catch { /* the next view shows what went wrong */ }
}
setInterval(checkStore, CHECK_EVERY_MS);

// Views that need what only some stores have (a baseline) appear in the bar when present.
async function showOptionalViews() {
  try {
    const offered = await views.features();
    for (const anchor of document.querySelectorAll("#nav a[data-needs]")) {
      anchor.hidden = !offered[anchor.dataset.needs];
    }
  } catch { /* the overview view shows the error */ }
}

window.addEventListener("hashchange", render);
showOptionalViews().then(render);
