"use strict";
// The action set page: a table that draws only the rows in view, a panel with every field of
// the chosen action, and charts of the rows that pass the filters.
(function () {
  var data = JSON.parse(document.getElementById("data").textContent);
  var ROW_HEIGHT = 22, SPARE_ROWS = 10, SVG = "http://www.w3.org/2000/svg";
  var names = data.names;

  // Each table (and each group of details of one type) holds only the columns that have a
  // value somewhere: index maps a column's name to its place in the rows.
  function indexed(table) {
    table.index = {};
    table.columns.forEach(function (name, i) { table.index[name] = i; });
    return table;
  }
  var actionTable = indexed(data.tables.actions), statTable = indexed(data.tables.stats);
  data.tables.details.forEach(indexed);
  var A = actionTable.index, S = statTable.index;
  function value(table, row, name) {
    var i = table.index[name];
    return i === undefined ? null : row[i];
  }
  function field(action, name) { return value(actionTable, action.row, name); }
  function detailField(detail, name) { return value(detail.table, detail.row, name); }

  function nameOf(field, value) {
    if (value === null || value === undefined) return null;
    var codes = names.codes[field];
    if (codes) return codes[value] !== undefined ? codes[value] : null;
    var bits = names.bits[field];
    if (!bits) return null;
    var set = [];
    for (var bit = 0; bit < 32; bit++) {
      if (Math.floor(value / Math.pow(2, bit)) % 2 === 1) set.push(bits[bit] || "bit" + bit);
    }
    return set.join("|");
  }
  function shown(field, value) {
    if (value === null || value === undefined) return "";
    var name = nameOf(field, value);
    return name ? name + " (" + value + ")" : String(value);
  }
  function dice(count, sides) { return count > 0 && sides > 0 ? count * (sides + 1) / 2 : 0; }

  // Per action: its details (with their stats) and the figures the table and charts show.
  var actions = actionTable.rows.map(function (row) {
    return {row: row, details: [], damage: 0, healing: 0, kinds: [], elements: []};
  });
  data.tables.details.forEach(function (table) {
    var D = table.index;
    table.rows.forEach(function (row) {
      actions[row[D.action_no]].details[row[D.detail_no]] = {row: row, table: table, stats: []};
    });
  });
  statTable.rows.forEach(function (row) {
    actions[row[S.action_no]].details[row[S.detail_no]].stats.push(row);
  });
  actions.forEach(function (action) {
    action.details.forEach(function (detail) {
      var get = detailField.bind(null, detail), type = get("type");
      var kind = data.kinds[type] || "type " + type;
      if (action.kinds.indexOf(kind) < 0) action.kinds.push(kind);
      if (kind === "damage") {
        action.damage += dice(get("dice"), get("die")) + get("base");
        var element = nameOf("elemType", get("elemType")) || String(get("elemType"));
        if (action.elements.indexOf(element) < 0) action.elements.push(element);
      } else if (kind === "healing") {
        action.healing += dice(get("numDice"), get("numSides")) + get("base");
      }
    });
    action.kinds = action.kinds.join(" ");
    action.elements = action.elements.join(" ");
  });

  // The table's columns: every column of the actions table (but empty ones), then the figures.
  var columns = actionTable.columns.map(function (name) {
    var i = A[name];
    return {name: name, value: function (a) { return a.row[i]; },
            wide: name === "name" || name === "desc"};
  });
  // The key, the ID and the texts first: the name is what a reader looks for first.
  function place(column, i) {
    return [column.name === "action_no" || column.name === "actionID" ? 0 : column.wide ? 1 : 2, i];
  }
  columns = columns.map(function (c, i) { return [place(c, i), c]; }).sort(function (x, y) {
    return x[0][0] - y[0][0] || x[0][1] - y[0][1];
  }).map(function (pair) { return pair[1]; });
  [["details", "kinds"], ["damage", "damage"], ["healing", "healing"],
   ["elements", "elements"]].forEach(function (pair) {
    columns.push({name: pair[0], value: function (a) { return a[pair[1]]; },
                  wide: pair[0] === "details"});
  });

  var shownRows = actions.slice(), sortColumn = null, sortOrder = 1, chosen = null;
  var head = document.getElementById("head"), rowsBox = document.getElementById("rows");
  var scroller = document.getElementById("scroller"), spacer = document.getElementById("spacer");
  var select = document.getElementById("filter-column");

  columns.forEach(function (column, i) {
    var cell = document.createElement("span");
    cell.textContent = column.name;
    cell.dataset.column = column.name;
    if (column.wide) cell.className = "wide";
    cell.addEventListener("click", function () { sortBy(i); });
    head.appendChild(cell);
    var option = document.createElement("option");
    option.textContent = column.name;
    select.appendChild(option);
  });

  function text(column, action) {
    var value = column.value(action);
    var name = nameOf(column.name, value);
    return value === null || value === undefined ? "" : name ? name : String(value);
  }

  function sortBy(i) {
    sortOrder = sortColumn === i ? -sortOrder : 1;
    sortColumn = i;
    Array.prototype.forEach.call(head.children, function (cell, j) {
      cell.classList.remove("asc", "desc");
      if (j === i) cell.classList.add(sortOrder > 0 ? "asc" : "desc");
    });
    sortRows();
    draw();
  }
  function sortRows() {
    if (sortColumn === null) return;
    var column = columns[sortColumn];
    var keyed = shownRows.map(function (a) { return [column.value(a), a]; });
    keyed.sort(function (x, y) {
      var p = x[0], q = y[0];
      if (p === q) return x[1].row[A.action_no] - y[1].row[A.action_no];
      if (p === null || p === undefined) return 1;
      if (q === null || q === undefined) return -1;
      return (p < q ? -1 : 1) * sortOrder;
    });
    shownRows = keyed.map(function (pair) { return pair[1]; });
  }

  function filter() {
    var words = document.getElementById("search").value.toLowerCase().trim();
    var column = columns[select.selectedIndex];
    var op = document.getElementById("filter-op").value;
    var wanted = document.getElementById("filter-value").value.trim();
    var number = Number(wanted);
    shownRows = actions.filter(function (a) {
      if (wanted !== "") {
        var value = column.value(a), label = text(column, a);
        if (op === "contains") {
          if (label.toLowerCase().indexOf(wanted.toLowerCase()) < 0) return false;
        } else if (op === "=") {
          if (!(String(value) === wanted || label === wanted)) return false;
        } else if (value === null || isNaN(number) || wanted === "" ||
                   (op === "<" ? !(value < number) : !(value > number))) {
          return false;
        }
      }
      if (words) {
        var all = columns.map(function (c) { return text(c, a); }).join(" ").toLowerCase();
        if (all.indexOf(words) < 0) return false;
      }
      return true;
    });
    sortRows();
    scroller.scrollTop = 0;
    draw();
    drawCharts();
  }

  function draw() {
    spacer.style.height = shownRows.length * ROW_HEIGHT + "px";
    var first = Math.max(0, Math.floor(scroller.scrollTop / ROW_HEIGHT) - SPARE_ROWS);
    var last = Math.min(shownRows.length,
                        first + Math.ceil(scroller.clientHeight / ROW_HEIGHT) + 2 * SPARE_ROWS);
    rowsBox.style.top = first * ROW_HEIGHT + "px";
    var made = document.createDocumentFragment();
    for (var i = first; i < last; i++) {
      var action = shownRows[i], line = document.createElement("div");
      line.className = "row" + (action === chosen ? " chosen" : "");
      line.dataset.action = action.row[A.action_no];
      columns.forEach(function (column) {
        var cell = document.createElement("span"), value = column.value(action);
        cell.textContent = text(column, action);
        cell.title = cell.textContent;
        cell.className = (column.wide ? "wide " : "") + (typeof value === "number" ? "num" : "");
        line.appendChild(cell);
      });
      line.addEventListener("click", choose.bind(null, action));
      made.appendChild(line);
    }
    rowsBox.textContent = "";
    rowsBox.appendChild(made);
    document.getElementById("count").textContent =
      shownRows.length + " of " + actions.length + " actions";
  }

  function fieldTable(header, row, skip) {
    var table = document.createElement("table");
    header.forEach(function (name, i) {
      if (skip.indexOf(name) >= 0 || row[i] === null) return;
      var line = table.insertRow();
      line.insertCell().textContent = name;
      line.insertCell().textContent = shown(name, row[i]);
    });
    return table;
  }
  function choose(action) {
    chosen = action;
    var panel = document.getElementById("panel");
    panel.textContent = "";
    var title = document.createElement("h3");
    title.textContent = "action " + action.row[A.action_no];
    panel.appendChild(title);
    panel.appendChild(fieldTable(actionTable.columns, action.row, ["action_no"]));
    action.details.forEach(function (detail, i) {
      var h = document.createElement("h3");
      h.textContent = "detail " + i + ": " + (data.kinds[detailField(detail, "type")] ||
                                              "unknown type");
      panel.appendChild(h);
      panel.appendChild(fieldTable(detail.table.columns, detail.row, ["action_no", "detail_no"]));
      detail.stats.forEach(function (stat) {
        panel.appendChild(fieldTable(statTable.columns, stat,
                                     ["action_no", "detail_no", "stat_no"]));
      });
    });
    draw();
  }

  // ---- charts (SVG) ----
  function svg(tag, attributes, parent) {
    var element = document.createElementNS(SVG, tag);
    Object.keys(attributes).forEach(function (k) { element.setAttribute(k, attributes[k]); });
    if (parent) parent.appendChild(element);
    return element;
  }
  function figure(id, caption) {
    var box = document.getElementById(id);
    if (!box) {
      box = document.createElement("figure");
      box.id = id;
      var label = document.createElement("figcaption");
      label.textContent = caption;
      box.appendChild(label);
      document.getElementById("charts").appendChild(box);
    }
    var old = box.querySelector("svg");
    if (old) box.removeChild(old);
    return svg("svg", {width: 420, height: 240, viewBox: "0 0 420 240"}, box);
  }
  function label(parent, x, y, words, anchor) {
    svg("text", {x: x, y: y, "text-anchor": anchor || "middle"}, parent).textContent = words;
  }
  // Bars of groups: groups [[label, [value per series]]], series [[name, colour]].
  function bars(chart, groups, series) {
    var top = 0;
    groups.forEach(function (g) { g[1].forEach(function (v) { top = Math.max(top, v); }); });
    var left = 40, width = 370, height = 190, step = width / Math.max(groups.length, 1);
    svg("line", {x1: left, y1: height, x2: left + width, y2: height, stroke: "#888"}, chart);
    label(chart, left - 4, 12, top.toFixed(1).replace(/\.0$/, ""), "end");
    groups.forEach(function (g, i) {
      var barWidth = Math.max(1, step * 0.8 / series.length);
      g[1].forEach(function (v, s) {
        var h = top > 0 ? v / top * (height - 10) : 0;
        svg("rect", {x: left + i * step + s * barWidth, y: height - h, width: barWidth,
                     height: h, fill: series[s][1]}, chart).appendChild(
          svg("title", {})).textContent = g[0] + " " + series[s][0] + ": " + v;
      });
      if (groups.length <= 30) label(chart, left + (i + 0.5) * step, height + 12, g[0]);
    });
    series.forEach(function (s, i) {
      svg("rect", {x: left + 10 + i * 120, y: 222, width: 10, height: 10, fill: s[1]}, chart);
      label(chart, left + 24 + i * 120, 231, s[0], "start");
    });
  }

  function drawCharts() {
    var byLevel = {};
    shownRows.forEach(function (a) {
      var level = field(a, "levelAcquired");
      var l = byLevel[level] = byLevel[level] || [0, 0, 0];
      l[0] += a.damage; l[1] += a.healing; l[2] += 1;
    });
    bars(figure("chart-level", "mean expected damage and healing by level"),
         Object.keys(byLevel).map(Number).sort(function (x, y) { return x - y; }).map(
           function (level) {
             var l = byLevel[level];
             return [String(level), [l[0] / l[2], l[1] / l[2]]];
           }), [["damage", "#c0392b"], ["healing", "#27ae60"]]);

    var kinds = Object.keys(data.kinds).map(function (k) { return data.kinds[k]; });
    var colours = ["#c0392b", "#2980b9", "#27ae60", "#8e44ad", "#f39c12"];
    var byElement = {};
    shownRows.forEach(function (a) {
      a.details.forEach(function (detail) {
        var get = detailField.bind(null, detail), kind = data.kinds[get("type")];
        if (!kind) return;
        var element = kind === "damage" ?
          nameOf("elemType", get("elemType")) || "element " + get("elemType") : "no element";
        var e = byElement[element] = byElement[element] || kinds.map(function () { return 0; });
        e[kinds.indexOf(kind)] += 1;
      });
    });
    bars(figure("chart-element", "details by element and kind"),
         Object.keys(byElement).sort().map(function (e) { return [e, byElement[e]]; }),
         kinds.map(function (k, i) { return [k, colours[i % colours.length]]; }));

    var chart = figure("chart-cost", "cost against expected damage + healing");
    var most = [1, 1];
    shownRows.forEach(function (a) {
      most[0] = Math.max(most[0], field(a, "spellCost") || 0);
      most[1] = Math.max(most[1], a.damage + a.healing);
    });
    svg("line", {x1: 40, y1: 200, x2: 410, y2: 200, stroke: "#888"}, chart);
    svg("line", {x1: 40, y1: 10, x2: 40, y2: 200, stroke: "#888"}, chart);
    label(chart, 225, 232, "spellCost (up to " + most[0] + ")");
    label(chart, 36, 14, String(most[1]), "end");
    var every = Math.max(1, Math.floor(shownRows.length / 4000));  // a sample of a big set
    for (var i = 0; i < shownRows.length; i += every) {
      var a = shownRows[i];
      if (field(a, "spellCost") === null) continue;
      svg("circle", {cx: 40 + field(a, "spellCost") / most[0] * 370,
                     cy: 200 - (a.damage + a.healing) / most[1] * 190, r: 3,
                     fill: "#2980b9", "fill-opacity": 0.6}, chart);
    }
  }

  var pending = null;
  function later() {
    clearTimeout(pending);
    pending = setTimeout(filter, 150);
  }
  ["search", "filter-value"].forEach(function (id) {
    document.getElementById(id).addEventListener("input", later);
  });
  ["filter-column", "filter-op"].forEach(function (id) {
    document.getElementById(id).addEventListener("change", filter);
  });
  document.getElementById("filter-clear").addEventListener("click", function () {
    document.getElementById("search").value = "";
    document.getElementById("filter-value").value = "";
    filter();
  });
  scroller.addEventListener("scroll", function () { window.requestAnimationFrame(draw); });
  window.addEventListener("resize", draw);
  draw();
  drawCharts();
  window.actionPage = {filter: filter, shown: function () { return shownRows.length; }};
})();
