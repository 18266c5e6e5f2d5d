// The dominator tree: what an object (or the root) keeps alive, largest first, siblings of
// one type merged into one row, with a treemap of the retained sizes below the node drawn by d3.

import { h, bytes, number, link, table, facts, objectLink, typeLink, valueText } from "./ui.js";
import { api } from "./views.js";

const PAGE = 50;
const TREEMAP_HEIGHT = 260;

function treeLink(id, params = {}) {
  return link(id ? `/tree/${id}` : "/tree", params);
}

function rowLabel(row) {
  return row.count > 1 ? `${number(row.count)} × ${row.type}` : row.type;
}

export async function tree(params, id = null) {
  const expand = (params.get("expand") || "").split(",").filter(Boolean);
  const limit = Number(params.get("limit")) || PAGE;
  const data = await api("/tree", { id, expand: expand.join(","), limit });
  const whole = data.node ? data.node.retained.retained : data.rows.reduce((sum, row) => sum + row.retained, 0);
  const expandHref = (type) => treeLink(id, { expand: [...expand, type].join(","), limit: params.get("limit") });
  const columns = [
    { key: "what", title: "object", cell: (row) => row.id === null
      ? h("span", {}, rowLabel(row), " ", h("a", { href: expandHref(row.type), class: "expand" }, "expand"))
      : h("span", {}, h("a", { href: treeLink(row.id), class: "id" }, row.id), " ", typeLink(row.type)) },
    { key: "size", title: "size", numeric: true, cell: (row) => bytes(row.size) },
    { key: "retained", title: "retained", numeric: true, cell: (row) => bytes(row.retained) },
    { key: "share", title: "share", numeric: true,
      cell: (row) => whole ? `${((100 * row.retained) / whole).toFixed(1)} %` : "–" },
    { key: "value", title: "value", cell: (row) => h("span", { class: "value" }, row.name ? `${row.name} ` : "", valueText(row)) },
  ];
  const crumbs = [h("a", { href: treeLink(null) }, "root")];
  for (const step of data.chain) {
    if (step.id === data.node?.id) break;
    crumbs.push(" › ", h("a", { href: treeLink(step.id), title: step.id }, step.type));
  }
  if (data.node) crumbs.push(" › ", h("strong", {}, data.node.type));
  const header = data.node
    ? [h("h1", {}, "Dominator tree: ", data.node.type, " ", h("span", { class: "id" }, data.node.id)),
       facts([["object", objectLink(data.node.id)], ["retained", `${bytes(whole)} (${number(whole)} bytes)`],
              ["size", bytes(data.node.size)]])]
    : [h("h1", {}, "Dominator tree"), h("p", { class: "hint" },
        "Each object keeps alive what it dominates: every path from a root to those objects passes through it.")];
  const more = data.more
    ? h("p", {}, h("a", { href: treeLink(id, { expand: expand.join(","), limit: Math.min(500, limit * 2) }), class: "more" }, "more rows…"))
    : null;
  return [
    h("nav", { class: "crumbs", "aria-label": "dominators" }, crumbs),
    ...header,
    treemap(data.rows, whole, (row) => (row.id === null ? expandHref(row.type) : treeLink(row.id))),
    table(columns, data.rows),
    more,
  ];
}

// One level of rectangles, each child's area its share of the retained size.
function treemap(rows, whole, target) {
  const figure = h("figure", { class: "treemap", "aria-label": "treemap of retained sizes" });
  const d3 = window.d3;
  if (!d3 || !rows.length) return figure;
  const width = Math.min(document.getElementById("view").clientWidth || 1200, 1560) - 40;
  const root = d3.hierarchy({ children: rows }).sum((row) => (row.children ? 0 : row.retained));
  d3.treemap().size([width, TREEMAP_HEIGHT]).paddingInner(2).round(true)(root);
  const colour = d3.scaleOrdinal(d3.schemeTableau10);
  const svg = d3.select(figure).append("svg").attr("width", width).attr("height", TREEMAP_HEIGHT)
    .attr("viewBox", `0 0 ${width} ${TREEMAP_HEIGHT}`).attr("role", "img");
  const cell = svg.selectAll("a").data(root.leaves()).join("a")
    .attr("href", (leaf) => target(leaf.data))
    .attr("transform", (leaf) => `translate(${leaf.x0},${leaf.y0})`);
  cell.append("rect").attr("width", (leaf) => leaf.x1 - leaf.x0).attr("height", (leaf) => leaf.y1 - leaf.y0)
    .attr("fill", (leaf) => colour(leaf.data.type));
  cell.append("title").text((leaf) => `${rowLabel(leaf.data)}: ${bytes(leaf.data.retained)} retained` +
    (whole ? ` (${((100 * leaf.data.retained) / whole).toFixed(1)} %)` : ""));
  const labelled = cell.filter((leaf) => leaf.x1 - leaf.x0 > 70 && leaf.y1 - leaf.y0 > 30);
  labelled.append("text").attr("x", 5).attr("y", 15).text((leaf) => clip(rowLabel(leaf.data), (leaf.x1 - leaf.x0) / 7));
  labelled.append("text").attr("x", 5).attr("y", 29).attr("class", "size").text((leaf) => bytes(leaf.data.retained));
  return figure;
}

function clip(text, characters) {
  const room = Math.max(3, Math.floor(characters));
  return text.length <= room ? text : `${text.slice(0, room - 1)}…`;
}
