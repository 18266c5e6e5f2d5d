// The views. Each takes the fragment's parameters, asks the API for one page of each list it
// shows, and returns the elements to show; sorting and paging are links to the same view.

import { h, bytes, number, link, table, pager, facts, objectLink, typeLink, valueText, display, subtreeText, OBJECT_COLUMNS, NAME_COLUMN } from "./ui.js";

export class ApiError extends Error {
  constructor(status, message) {
    super(message);
    this.status = status;
    this.title = { 400: "bad request", 404: "not found", 500: "server error" }[status];
  }
}

// Called with the store's generation of every answer: it changes when the store is written to.
export const generations = { listener: (generation) => {} };

export async function api(path, params = {}) {
  const query = new URLSearchParams(Object.entries(params).filter(([, v]) => v !== undefined && v !== null && v !== ""));
  const response = await fetch(`/api${path}${query.toString() ? "?" + query : ""}`);
  const generation = response.headers.get("store-generation");
  if (generation !== null) generations.listener(generation);
  const body = await response.json().catch(() => null);
  if (!response.ok) throw new ApiError(response.status, body?.error?.message || response.statusText);
  return body;
}

const PAGE = 50;
const ALL_TYPES = "All Types";


// What this store offers beyond the basic views, asked once per state of the store.
let offered = null;
export function forgetFeatures() { offered = null; }
export function features() {
  offered ??= api("/overview")
    .then((overview) => (display.estimated = overview.estimated, { retained: overview.retained === "fresh", retainedState: overview.retained, baseline: !!overview.baseline, sites: !!overview.sites }))
    .catch(() => ({}));
  return offered;
}

const RETAINED_STATES = {
  fresh: "computed for what the store holds",
  stale: "out of date: the store changed since they were computed (vesker retained STORE computes them again)",
  missing: "not computed (vesker retained STORE computes them)",
};
const RETAINED_COLUMN = { key: "retained", title: "retained", numeric: true, cell: (row) => bytes(row.retained) };
const descending = (order, fallback = true) => (order ? order === "desc" : fallback);

function sortHeaders(columns, sortable) {
  return columns.map((column) => ({ ...column, sortable: sortable.includes(column.key) }));
}

// -- overview ------------------------------------------------------------------

export async function overview() {
  const data = await api("/overview");
  const precision = !data.has_subtree_sizes ? "none (no subtree sizes)"
    : data.estimated ? `estimates (precision ${data.precision}); ~ marks them`
    : data.precision === "exact" ? "exact" : "precision not recorded";
  display.estimated = data.estimated;
  const order = data.top_order === "subtree" ? "subtree size" : "size";
  return [
    h("h1", {}, "Overview"),
    h("p", { class: "store" }, data.store),
    facts([
      ["objects", number(data.objects)],
      ["total size", `${bytes(data.total_size)} (${number(data.total_size)} bytes)`],
      ["types", number(data.type_count)],
      ["subtree sizes", precision],
      ["retained sizes", RETAINED_STATES[data.retained] || data.retained],
      ...(data.repeated_ids ? [["repeated ids", `${number(data.repeated_ids)} records replaced by a later one with the same id`]] : []),
      ...(data.dangling_references ? [["missing records", `the dump was incomplete: ${number(data.dangling_references)} references to ids without a record`]] : []),
      ...(data.memory_note ? [["process memory", data.memory_note]] : []),
    ]),
    data.suspects ? suspectsSection(data.suspects) : null,
    h("div", { class: "columns" },
      data.top_retainers
        ? h("section", {}, h("h2", {}, "Top retainers"),
          table([...OBJECT_COLUMNS.filter((c) => c.key !== "subtree" && c.key !== "value"), RETAINED_COLUMN,
            OBJECT_COLUMNS[OBJECT_COLUMNS.length - 1]], data.top_retainers),
          h("p", {}, h("a", { href: link("/tree") }, "dominator tree…")))
        : null,
      h("section", {}, h("h2", {}, `Largest objects by ${order}`),
        table(OBJECT_COLUMNS, data.top_objects),
        h("p", {}, h("a", { href: link("/objects", { type: ALL_TYPES }) }, "all objects…"))),
      h("section", {}, h("h2", {}, "Largest types"),
        table(TYPE_COLUMNS, data.largest_types),
        h("p", {}, h("a", { href: link("/types") }, "all types…")))),
  ];
}

// The answer first: what holds most of the heap, how a root reaches it, what it is made of.
function suspectsSection({ heap, suspects }) {
  if (!suspects.length) {
    return h("section", {}, h("h2", {}, "Leak suspects"),
      h("p", {}, `No object or group of one type holds 10% or more of the ${bytes(heap)} heap.`));
  }
  return h("section", { class: "suspects" }, h("h2", {}, "Leak suspects"),
    h("ol", {}, ...suspects.map((suspect) => h("li", {},
      h("a", { href: link(`/object/${suspect.id}`) },
        suspect.count > 1 ? `${number(suspect.count)} × ${suspect.held?.type}` : (suspect.label || suspect.object?.type)),
      ` holds ${bytes(suspect.retained)}, ${Math.round(suspect.share * 100)}% of the heap`,
      suspect.held && suspect.count === 1 && suspect.held.count > 1
        ? `: ${number(suspect.held.count)} × ${suspect.held.type} (${bytes(suspect.held.retained)})` : "",
      h("span", { class: "signature" }, ` signature ${suspect.signature}`)))));
}

// A search field that narrows the list as one types; the URL follows without new history entries.
function filterInput(value, placeholder, target) {
  const input = h("input", { type: "search", id: "filter", value, placeholder, "aria-label": placeholder });
  let timer = null;
  input.addEventListener("input", () => {
    clearTimeout(timer);
    timer = setTimeout(() => {
      history.replaceState(null, "", target(input.value));
      window.dispatchEvent(new HashChangeEvent("hashchange"));
    }, 250);
  });
  return input;
}

// -- types -----------------------------------------------------------------------

const TYPE_COLUMNS = [
  { key: "name", title: "type", cell: (row) => typeLink(row.type) },
  { key: "count", title: "count", numeric: true, cell: (row) => number(row.count) },
  { key: "size", title: "total size", numeric: true, cell: (row) => bytes(row.total_size) },
];

export async function types(params) {
  const sort = params.get("sort") || "size";
  const order = params.get("order");
  const filter = params.get("filter") || "";
  const offset = params.get("offset") || 0;
  const data = await api("/types", { sort, order, filter, offset, limit: PAGE });
  const { retained } = await features();
  const columns = retained ? [...TYPE_COLUMNS, RETAINED_COLUMN] : TYPE_COLUMNS;
  const state = { sort, order, filter };
  const href = (changes) => link("/types", { ...state, offset, ...changes });
  const sortState = {
    key: sort, descending: data.descending,
    href: (key) => href({ sort: key, order: key === sort ? (data.descending ? "asc" : "desc") : null, offset: 0 }),
  };
  return [
    h("h1", {}, "Types"),
    h("div", { class: "toolbar" }, filterInput(filter, "filter types (/)", (value) => href({ filter: value, offset: 0 }))),
    h("div", { class: "narrow" }, table(sortHeaders(columns, ["name", "count", "size", "retained"]), data.rows, sortState)),
    pager(data, (next) => href({ offset: next })),
  ];
}

// -- the objects of a type ---------------------------------------------------------

export async function objects(params) {
  const type = params.get("type") || ALL_TYPES;
  const by = params.get("by");
  const order = params.get("order");
  const offset = params.get("offset") || 0;
  const data = await api("/objects", { type, by, order, offset, limit: PAGE });
  const href = (changes) => link("/objects", { type, by, order, offset, ...changes });
  const { retained } = await features();
  const shown = retained ? [...OBJECT_COLUMNS.slice(0, 3), RETAINED_COLUMN, ...OBJECT_COLUMNS.slice(3)] : OBJECT_COLUMNS;
  const columns = sortHeaders(shown, ["id", "size", "subtree", "retained"]);
  const sortState = {
    key: data.by, descending: data.descending,
    href: (key) => href({ by: key, order: key === data.by ? (data.descending ? "asc" : "desc") : null, offset: 0 }),
  };
  const title = type === ALL_TYPES ? "All objects" : type;
  return [
    h("h1", {}, title),
    h("p", {}, `${number(data.total)} objects`),
    table(columns, data.rows, sortState),
    pager(data, (next) => href({ offset: next })),
  ];
}

// -- one object ---------------------------------------------------------------------

function edgeSection(id, direction, params, data) {
  const prefix = direction === "references" ? "ref" : "rfr";
  const own = (name) => params.get(`${prefix}_${name}`);
  const href = (changes) => {
    const next = Object.fromEntries(params.entries());
    for (const [name, value] of Object.entries(changes)) next[`${prefix}_${name}`] = value;
    return link(`/object/${id}`, next);
  };
  const sortState = {
    key: data.sort, descending: data.descending,
    href: (key) => href({ sort: key, order: key === data.sort ? (data.descending ? "asc" : "desc") : null, offset: 0 }),
  };
  const typeFilter = own("type");
  return h("section", { class: `edges ${direction}` },
    h("h2", {}, `${direction === "references" ? "References" : "Referrers"} (${number(data.total)})`,
      typeFilter ? h("span", { class: "filter" }, " of type ", typeFilter, " ", h("a", { href: href({ type: null, offset: 0 }) }, "(all)")) : null),
    table(sortHeaders(data.rows.some((row) => row.name) ? [OBJECT_COLUMNS[0], NAME_COLUMN, ...OBJECT_COLUMNS.slice(1)] : OBJECT_COLUMNS,
      ["id", "type", "size", "subtree"]), data.rows, sortState),
    pager(data, (next) => href({ offset: next })));
}

export async function object(params, id) {
  const edge = (direction, prefix) => api(`/object/${id}/${direction}`, {
    sort: params.get(`${prefix}_sort`), order: params.get(`${prefix}_order`), type: params.get(`${prefix}_type`),
    offset: params.get(`${prefix}_offset`) || 0, limit: PAGE,
  });
  const [data, references, referrers] = await Promise.all([api(`/object/${id}`), edge("references", "ref"), edge("referrers", "rfr")]);
  const value = data.value === null ? null : h("pre", { class: "value" }, valueText(data));
  const facts_ = data.retained;
  const why = facts_ ? await whyAlive(id, params) : [];
  return [
    h("h1", {}, data.type, " ", h("span", { class: "id" }, data.id)),
    facts([
      ["type", typeLink(data.type)],
      ["size", `${bytes(data.size)} (${number(data.size)} bytes)`],
      ["subtree", data.subtree_size === null ? "–"
        : display.estimated ? `${subtreeText(data.subtree_size)} (estimate)` : `${bytes(data.subtree_size)} (${number(data.subtree_size)} bytes)`],
      ...(facts_ ? [["retained", `${bytes(facts_.retained)} (${number(facts_.retained)} bytes)`],
        ["dominated by", facts_.idom ? h("a", { href: link(`/object/${facts_.idom}`), class: "id" }, facts_.idom) : "the root"]] : []),
      ...(data.site ? [["allocated at", data.site.known ? siteText(data.site.frames)
        : "unknown (made before tracing started, or outside Python's allocator)"]] : []),
      ["references", number(data.reference_count)],
      ["referrers", number(data.referrer_count)],
      ...(facts_?.unreachable ? [["reachable", "no: garbage that the next collection frees"]] : []),
    ]),
    value,
    h("p", { class: "actions" },
      h("a", { href: link("/path", { to: data.id }) }, "find a path to this object"), " · ",
      h("a", { href: link("/path", { from: data.id }) }, "find a path from this object"), " · ",
      h("a", { href: link("/common", { a: data.id }) }, "common object with…"),
      facts_ ? [" · ", h("a", { href: link(`/tree/${data.id}`) }, "what it keeps alive")] : null),
    ...why,
    edgeSection(id, "referrers", params, referrers),
    edgeSection(id, "references", params, references),
  ];
}

// Why an object is alive: each dominator alone keeps it; a path shows one chain of references.
async function whyAlive(id, params) {
  const [dominators, path] = await Promise.all(["dominators", "path"].map((which) =>
    api(`/object/${id}/why/${which}`, { offset: params.get(`why_${which}_offset`) || 0, limit: PAGE })));
  const named = { key: "name", title: "through", cell: (row) => row.name || "" };
  const columns = [OBJECT_COLUMNS[0], OBJECT_COLUMNS[1], named, OBJECT_COLUMNS[2], RETAINED_COLUMN];
  const section = (title, which, data) => h("section", { class: `why ${which}` }, h("h2", {}, title),
    table(columns, data.rows),
    data.total > data.rows.length ? pager(data, (next) => link(`/object/${id}`, { ...Object.fromEntries(params.entries()), [`why_${which}_offset`]: next })) : null);
  return [section(`Why alive: ${number(dominators.total)} ${dominators.total === 1 ? "dominator" : "dominators"} from the root`, "dominators", dominators),
    section(`A shortest path from a root (${number(Math.max(0, path.total - 1))} references)`, "path", path)];
}

// -- allocation sites ------------------------------------------------------------------------

// "app/cache.py:41 in Cache.put", with the calling frames when the dump recorded more than one.
function siteText(frames) {
  if (!frames.length) return "an unknown place";
  const frame = ([file, line, name]) => `${file}:${line}${name ? ` in ${name}` : ""}`;
  return frames.length > 1 ? h("span", { title: frames.slice(1).map(frame).join("\n") }, frame(frames[0]), ` (+${frames.length - 1} frames)`)
    : frame(frames[0]);
}

const SITE_GROUPS = { site: "line", file: "file", function: "function" };

export async function sites(params) {
  const by = params.get("by") || "retained";
  const group = params.get("group") || "site";
  const offset = params.get("offset") || 0;
  const data = await api("/sites", { by, group, offset, limit: PAGE });
  const href = (changes) => link("/sites", { by, group, offset, ...changes });
  const columns = [
    { key: "where", title: group === "site" ? "allocated at" : `${SITE_GROUPS[group]} (sites)`,
      cell: (row) => group === "site" && row.frames ? siteText(row.frames) : `${row.where} (${number(row.sites)})` },
    { key: "count", title: "objects", numeric: true, cell: (row) => number(row.count) },
    { key: "size", title: "size", numeric: true, cell: (row) => bytes(row.size) },
    RETAINED_COLUMN,
    { key: "holders", title: "held by", cell: (row) => h("span", {}, ...row.holders.flatMap((holder, i) =>
      [i ? ", " : "", h("a", { href: link(`/object/${holder.id}`) }, holder.label || holder.id), ` (${bytes(holder.retained)})`])) },
  ];
  const sortState = { key: data.by, descending: true, href: (key) => href({ by: key, offset: 0 }) };
  return [
    h("h1", {}, "Allocation sites"),
    h("p", { class: "hint" }, `Where the objects were made (${number(data.frames)} frame(s) recorded per allocation); `,
      "retained: what the objects of a site keep alive, counted once. ",
      `${number(data.unknown.count)} objects (${bytes(data.unknown.size)}) have no known site.`),
    h("p", { class: "toolbar" }, "by ", ...Object.entries(SITE_GROUPS).flatMap(([key, title], i) =>
      [i ? " · " : "", key === group ? h("strong", {}, title) : h("a", { href: href({ group: key, offset: 0 }) }, title)])),
    table(sortHeaders(columns, ["count", "size", "retained"]), data.rows, sortState),
    pager(data, (next) => href({ offset: next })),
  ];
}

// -- searches ----------------------------------------------------------------------------

function searchForm(path, fields, params) {
  const inputs = fields.map(([name, label]) => h("label", {}, label,
    h("input", { name, value: params.get(name) || "", autocomplete: "off", size: 22 })));
  const form = h("form", { class: "search" }, inputs, h("button", { type: "submit" }, "find"));
  form.addEventListener("submit", (event) => {
    event.preventDefault();
    const values = Object.fromEntries(fields.map(([name]) => [name, form.elements[name].value.trim()]));
    location.hash = link(path, values);
  });
  return form;
}

export async function path(params) {
  const form = searchForm("/path", [["from", "from id"], ["to", "to id"], ["avoid", "avoiding ids (comma separated)"]], params);
  const result = [h("h1", {}, "Path between two objects"),
    h("p", { class: "hint" }, "A shortest chain of references; modules are never passed through."), form];
  if (!params.get("from") || !params.get("to")) return result;
  const offset = params.get("offset") || 0;
  const data = await api("/path", { from: params.get("from"), to: params.get("to"), avoid: params.get("avoid"), offset, limit: PAGE });
  if (!data.found) return [...result, h("p", { class: "answer" }, `no path from ${params.get("from")} to ${params.get("to")}`)];
  const steps = { key: "step", title: "step", numeric: true, cell: (row) => number(row.step) };
  const rows = data.rows.map((row, index) => ({ ...row, step: data.offset + index }));
  const href = (next) => link("/path", { ...Object.fromEntries(params.entries()), offset: next });
  return [...result,
    h("p", { class: "answer" }, `path of ${number(data.total - 1)} references`),
    table([steps, ...OBJECT_COLUMNS], rows), pager(data, href)];
}

export async function common(params) {
  const form = searchForm("/common", [["a", "first id"], ["b", "second id"]], params);
  const result = [h("h1", {}, "Largest common object"),
    h("p", { class: "hint" }, "The object with the largest subtree that both objects reach."), form];
  if (!params.get("a") || !params.get("b")) return result;
  const data = await api("/common", { a: params.get("a"), b: params.get("b") });
  if (!data.found) return [...result, h("p", { class: "answer" }, `${params.get("a")} and ${params.get("b")} reach no common object`)];
  return [...result, table(OBJECT_COLUMNS, [data.object])];
}


// -- comparison with a baseline ----------------------------------------------------------

const signed = (value, format) => (value > 0 ? "+" : value < 0 ? "−" : "±") + format(Math.abs(value));

const CHANGE_COLUMNS = [
  { key: "name", title: "type", cell: (row) => typeLink(row.type) },
  { key: "old_count", title: "count before", numeric: true, cell: (row) => number(row.count[0]) },
  { key: "count", title: "count change", numeric: true, cell: (row) => signed(row.count[1] - row.count[0], number) },
  { key: "old_size", title: "size before", numeric: true, cell: (row) => bytes(row.total_size[0]) },
  { key: "new_size", title: "size now", numeric: true, cell: (row) => bytes(row.total_size[1]) },
  { key: "size", title: "size change", numeric: true, cell: (row) => signed(row.total_size[1] - row.total_size[0], bytes) },
];
const RETAINED_CHANGE = { key: "retained", title: "retained change", numeric: true,
  cell: (row) => signed((row.retained[1] || 0) - (row.retained[0] || 0), bytes) };
const ADDED = { key: "added", title: "new objects", numeric: true,
  cell: (row) => row.added && row.added.count ? `${number(row.added.count)} (${bytes(row.added.size)})` : "" };

const HELD_COLUMNS = [
  { key: "new", title: "new objects", cell: (row) => h("span", {}, `+${number(row.count)} × `, typeLink(row.type)) },
  { key: "held", title: "with all new below them", numeric: true,
    cell: (row) => `${bytes(row.held_size)} in ${number(row.held_count)}` },
  { key: "holder", title: "held by (already there before)", cell: (row) => row.holder_type === null ? "the roots"
    : h("span", {}, objectLink(row.largest_holder), " ", typeLink(row.holder_type),
      row.holders > 1 ? ` and ${number(row.holders - 1)} more` : "") },
];

export async function compare(params) {
  const sort = params.get("sort") || "size";
  const order = params.get("order");
  const filter = params.get("filter") || "";
  const offset = params.get("offset") || 0;
  const data = await api("/compare/types", { sort, order, filter, offset, limit: PAGE });
  const href = (changes) => link("/compare", { sort, order, filter, offset, ...changes });
  const sortState = {
    key: sort, descending: data.descending,
    href: (key) => href({ sort: key, order: key === sort ? (data.descending ? "asc" : "desc") : null, offset: 0 }),
  };
  const [oldCount, newCount] = data.objects;
  const [oldSize, newSize] = data.total_size;
  return [
    h("h1", {}, "Compared with the baseline"),
    h("p", { class: "store" }, data.baseline),
    facts([
      ["objects", `${number(oldCount)} → ${number(newCount)} (${signed(newCount - oldCount, number)})`],
      ["total size", `${bytes(oldSize)} → ${bytes(newSize)} (${signed(newSize - oldSize, bytes)})`],
    ]),
    h("p", { class: "hint" }, data.same_process
      ? "Both dumps come from one process: objects are matched by id and type."
      : "The dumps come from different processes (or do not say): types are compared by their totals."),
    h("div", { class: "toolbar" }, filterInput(filter, "filter types (/)", (value) => href({ filter: value, offset: 0 }))),
    table(sortHeaders([...CHANGE_COLUMNS, ...(data.retained ? [RETAINED_CHANGE] : []), ...(data.same_process ? [ADDED] : [])],
      ["name", "count", "new_size", "size", "retained", "added"]), data.rows, sortState),
    pager(data, (next) => href({ offset: next })),
    data.same_process ? await heldSection(params) : null,
  ];
}

async function heldSection(params) {
  const offset = params.get("held_offset") || 0;
  const data = await api("/compare/held", { offset, limit: PAGE });
  const how = data.retained ? "their nearest dominator" : "a referrer";
  return h("section", { class: "held" }, h("h2", {}, `New objects by what holds them (${how} that already existed)`),
    table(HELD_COLUMNS, data.rows),
    pager(data, (next) => link("/compare", { ...Object.fromEntries(params.entries()), held_offset: next })));
}
