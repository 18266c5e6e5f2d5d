// Building blocks of the views: elements without innerHTML (heap values are untrusted text),
// sizes and counts for people, tables of objects with links, and pagers.

export function h(tag, attrs = {}, ...children) {
  const node = document.createElement(tag);
  for (const [name, value] of Object.entries(attrs)) {
    if (value === null || value === undefined || value === false) continue;
    if (name.startsWith("on")) node.addEventListener(name.slice(2), value);
    else node.setAttribute(name, value === true ? "" : String(value));
  }
  for (const child of children.flat()) {
    if (child === null || child === undefined || child === false) continue;
    node.append(child instanceof Node ? child : String(child));
  }
  return node;
}

const UNITS = ["B", "KiB", "MiB", "GiB", "TiB", "PiB"];

export function bytes(count) {
  if (count === null || count === undefined) return "–";
  let value = count;
  for (const unit of UNITS) {
    if (value < 1024 || unit === UNITS[UNITS.length - 1]) {
      return unit === "B" ? `${value} B` : `${value.toFixed(1)} ${unit}`;
    }
    value /= 1024;
  }
  return String(count);
}

export const number = (value) => value.toLocaleString("en-US");

// A URL fragment: a view's path and its parameters, dropping empty ones.
export function link(path, params = {}) {
  const query = new URLSearchParams();
  for (const [name, value] of Object.entries(params)) {
    if (value !== null && value !== undefined && value !== "") query.set(name, value);
  }
  const text = query.toString();
  return `#${path}${text ? "?" + text : ""}`;
}

export const objectLink = (id) => h("a", { href: link(`/object/${id}`), class: "id" }, id);
export const typeLink = (type) => h("a", { href: link("/objects", { type }), class: "type" }, type);

// An object without a value is shown by what holds it: "(__main__.cache)".
export function valueText(row) {
  if (row.value === null || row.value === undefined) return row.label ? `(${row.label})` : "";
  const shown = JSON.stringify(row.value).slice(1, -1);
  return row.value_length ? `${shown}… (${number(row.value_length)} chars)` : shown;
}

// How the store's sizes read: subtree sizes of an estimating import are marked "~".
export const display = { estimated: false };
export const subtreeText = (count) => (count !== null && count !== undefined && display.estimated ? "~" : "") + bytes(count);

// A reference to a freed address, or to an id whose record changed type since.
const MISSING = { missing: "no record", stale: "record replaced" };

// The name of the edge a row was reached by (`.items`, `['k']`), where the dump names it.
export const NAME_COLUMN = { key: "name", title: "name", cell: (row) => row.name ?? "" };

// Column definitions shared by every table of objects.
export const OBJECT_COLUMNS = [
  { key: "id", title: "id", cell: (row) => row.state === "missing" ? h("span", { class: "id" }, row.id) : objectLink(row.id) },
  { key: "type", title: "type", cell: (row) => row.state
    ? h("span", { class: "missing" }, row.type ? [typeLink(row.type), " "] : null, `(${MISSING[row.state]})`)
    : typeLink(row.type) },
  { key: "size", title: "size", numeric: true, cell: (row) => bytes(row.size) },
  { key: "subtree", title: "subtree", numeric: true, cell: (row) => subtreeText(row.subtree_size) },
  { key: "value", title: "value", cell: (row) => h("span", { class: "value" }, valueText(row)) },
];

// A table whose sortable headers are links to the same view ordered otherwise.
// sort: {key, descending, href(key) -> fragment}; rows get the keyboard's row focus.
export function table(columns, rows, sort = null, caption = null) {
  const head = h("tr", {}, columns.map((column) => {
    const classes = column.numeric ? "numeric" : "";
    if (!sort || !column.sortable) return h("th", { class: classes, scope: "col" }, column.title);
    const active = sort.key === column.key;
    const arrow = active ? (sort.descending ? " ▼" : " ▲") : "";
    return h("th", { class: classes, scope: "col", "aria-sort": active ? (sort.descending ? "descending" : "ascending") : null },
      h("a", { href: sort.href(column.key) }, column.title + arrow));
  }));
  const body = rows.map((row) => h("tr", { tabindex: "-1", class: "row" },
    columns.map((column) => h("td", { class: column.numeric ? "numeric" : "" }, column.cell(row)))));
  if (!rows.length) {
    body.push(h("tr", {}, h("td", { colspan: columns.length, class: "empty" }, "nothing here")));
  }
  return h("table", { class: "rows" }, caption ? h("caption", {}, caption) : null, h("thead", {}, head), h("tbody", {}, body));
}

// "rows 51–100 of 1,234" with links to the first, previous, next and last pages.
export function pager(result, href) {
  const { offset, limit, total } = result;
  const last = Math.max(0, Math.floor((total - 1) / limit) * limit);
  const shown = result.rows.length;
  const text = total === 0 ? "no rows"
    : shown === 0 ? `past the end of ${number(total)} rows`
    : `rows ${number(offset + 1)}–${number(offset + shown)} of ${number(total)}`;
  const step = (label, target, rel, enabled) => enabled
    ? h("a", { href: href(target), class: "page", "data-page": rel }, label)
    : h("span", { class: "page disabled" }, label);
  return h("div", { class: "pager" },
    step("« first", 0, "first", offset > 0),
    step("‹ previous", Math.max(0, offset - limit), "previous", offset > 0),
    h("span", { class: "position" }, text),
    step("next ›", offset + limit, "next", offset + limit < total),
    step("last »", last, "last", offset < last));
}

export function errorPanel(error) {
  return h("section", { class: "error", role: "alert" },
    h("h2", {}, error.status ? `${error.status} ${error.title || "error"}` : "error"),
    h("p", {}, error.message));
}

export function facts(pairs) {
  return h("dl", { class: "facts" }, pairs.flatMap(([name, value]) => [h("dt", {}, name), h("dd", {}, value)]));
}
