"use strict";
// The action set page: a table that draws only the rows in view, a panel that shows and edits
// every field of the chosen action, charts of the rows that pass the filters, and the edits
// saved as a patch against the actions the page was made from (its base).
//
// Sections: data and document form; the patch; value checks; the edited set (undo, keeping
// work); the table; the panel; the charts; wiring.
(function () {
  var data = JSON.parse(document.getElementById("data").textContent);
  var rules = data.rules, names = data.names, base = data.base, blank = data.blank;
  var ROW_HEIGHT = 22, SPARE_ROWS = 10, SVG = "http://www.w3.org/2000/svg";
  var STORAGE_KEY = "actions-page-edits:" + data.digest;

  // ---- the document form ----------------------------------------------------------------
  // An action is the dict Action.to_dict() gives: header fields by name, texts as strings
  // (or {"hex": ...} for bytes that are not UTF-8), "details" of {"header", "body", "stats"}.

  function copy(value) { return JSON.parse(JSON.stringify(value)); }
  function isObject(value) {
    return value !== null && typeof value === "object" && !Array.isArray(value);
  }
  // value with every object's keys in order, for a text that is the same for equal values
  function sortedKeys(value) {
    if (Array.isArray(value)) return value.map(sortedKeys);
    if (!isObject(value)) return value;
    var result = {};
    Object.keys(value).sort().forEach(function (key) { result[key] = sortedKeys(value[key]); });
    return result;
  }
  function canonical(value) { return JSON.stringify(sortedKeys(value)); }
  function at(value, path) {
    for (var i = 0; i < path.length && value !== undefined && value !== null; i++) {
      value = value[path[i]];
    }
    return value === undefined ? null : value;
  }
  function dice(count, sides) { return count > 0 && sides > 0 ? count * (sides + 1) / 2 : 0; }
  function kindOf(type) { return data.kinds[type] || "type " + type; }
  function isSpell(form) { return form[rules.actionType] === rules.spellType; }

  // ---- the patch: the changes that make the edited set of the base ------------------------
  // Actions are matched by actionID and their number among the actions with that ID; fields
  // are compared as leaves (a number, a text, an empty list or object) with paths of member
  // names and list positions, the form that `actiontool patch` applies.

  function leaves(value, path, into) {
    if (isObject(value) && Object.keys(value).length) {
      Object.keys(value).sort().forEach(function (key) {
        leaves(value[key], path.concat([key]), into);
      });
    } else if (Array.isArray(value) && value.length) {
      value.forEach(function (item, i) { leaves(item, path.concat([i]), into); });
    } else {
      into.set(JSON.stringify(path), {path: path, value: value});
    }
    return into;
  }
  // list positions before member names, then each step in order; a path before its longer ones
  function comparePaths(p, q) {
    for (var i = 0; i < Math.min(p.length, q.length); i++) {
      var pName = typeof p[i] === "string", qName = typeof q[i] === "string";
      if (pName !== qName) return pName ? 1 : -1;
      if (p[i] !== q[i]) return p[i] < q[i] ? -1 : 1;
    }
    return p.length - q.length;
  }
  function fieldChanges(oldForm, newForm) {
    var before = leaves(oldForm, [], new Map()), after = leaves(newForm, [], new Map());
    var found = [];
    before.forEach(function (leaf, key) {
      var other = after.get(key);
      if (!other || canonical(other.value) !== canonical(leaf.value)) {
        found.push({path: leaf.path, old: leaf.value, "new": other ? other.value : null});
      }
    });
    after.forEach(function (leaf, key) {
      if (!before.has(key)) found.push({path: leaf.path, old: null, "new": leaf.value});
    });
    found.sort(function (x, y) { return comparePaths(x.path, y.path); });
    return found.map(function (change) {  // an absent side is left out
      var result = {path: change.path};
      if (change.old !== null) result.old = change.old;
      if (change["new"] !== null) result["new"] = change["new"];
      return result;
    });
  }
  function keysOf(forms) {
    var seen = new Map();
    return forms.map(function (form) {
      var id = form[rules.actionID], number = seen.get(id) || 0;
      seen.set(id, number + 1);
      return {id: id, occurrence: number, text: id + "#" + number};
    });
  }
  // Of old positions in new order, the indices of a longest increasing run: those kept their
  // place, the others moved.
  function inPlace(positions) {
    var tails = [], tailAt = [], before = positions.map(function () { return -1; });
    positions.forEach(function (position, index) {
      var low = 0, high = tails.length;
      while (low < high) {
        var middle = (low + high) >> 1;
        if (tails[middle] < position) low = middle + 1; else high = middle;
      }
      if (low) before[index] = tailAt[low - 1];
      tails[low] = position;
      tailAt[low] = index;
    });
    var kept = new Set(), index = tailAt.length ? tailAt[tailAt.length - 1] : -1;
    while (index >= 0) { kept.add(index); index = before[index]; }
    return kept;
  }
  function makePatch(oldForms, newForms) {
    var oldKeys = keysOf(oldForms), newKeys = keysOf(newForms);
    var oldAt = new Map(), newAt = new Map(), changes = [];
    oldKeys.forEach(function (key, i) { oldAt.set(key.text, i); });
    newKeys.forEach(function (key, i) { newAt.set(key.text, i); });
    function record(kind, key, fields) {
      var made = {change: kind, actionID: key.id, occurrence: key.occurrence};
      Object.keys(fields).forEach(function (name) { made[name] = fields[name]; });
      changes.push(made);
    }
    oldKeys.forEach(function (key, i) {
      if (!newAt.has(key.text)) record("removed", key, {position: i, action: oldForms[i]});
    });
    oldKeys.forEach(function (key, i) {
      var partner = newAt.get(key.text);
      if (partner === undefined || oldForms[i] === newForms[partner]) return;
      var fields = fieldChanges(oldForms[i], newForms[partner]);
      if (fields.length) record("changed", key, {position: i, to: partner, fields: fields});
    });
    var common = newKeys.filter(function (key) { return oldAt.has(key.text); });
    var kept = inPlace(common.map(function (key) { return oldAt.get(key.text); }));
    var moved = new Set(common.filter(function (key, i) { return !kept.has(i); })
                        .map(function (key) { return key.text; }));
    newKeys.forEach(function (key, i) {
      if (moved.has(key.text)) record("moved", key, {position: oldAt.get(key.text), to: i});
    });
    newKeys.forEach(function (key, i) {
      if (!oldAt.has(key.text)) record("added", key, {to: i, action: newForms[i]});
    });
    return {changes: changes};
  }
  // The patch as `actiontool diff --patch` writes it: keys in order, one space per level.
  function patchText(patch) { return JSON.stringify(sortedKeys(patch), null, 1) + "\n"; }

  // ---- value checks, from the layout file's rules -----------------------------------------
  // Each returns {value} for a value the import takes, or {error} in the import's words.

  // owner: the class whose field it is ("Action"), as the import names it
  function checkInteger(owner, name, kind, typed) {
    var range = rules.kinds[kind], text = typed.trim();
    if (!/^[-+]?[0-9]+$/.test(text)) {
      return {error: "expected an integer, found " + JSON.stringify(typed)};
    }
    var number = Number(text);
    if (number < range.low || number > range.high) {
      return {error: owner + "." + name + " is " + range.words + ": " +
              text.replace(/^\+/, "") + " is out of its range " + range.low + " to " + range.high};
    }
    return {value: number};
  }
  var encoder = new TextEncoder();
  function byteLength(text) { return encoder.encode(text).length; }
  function checkText(name, lengthField, lengthKind, typed) {
    var size = byteLength(typed), most = rules.kinds[lengthKind].high;
    if (size > most) {
      return {error: "a text of " + size + " bytes is too long for its length field " +
              lengthField + " (at most " + most + ")"};
    }
    return {value: typed};
  }
  function checkCode(name, width, typed) {
    var size = byteLength(typed);
    if (size > width) {
      return {error: rules.owner + "." + name + " holds at most " + width + " bytes, not " + size};
    }
    return {value: typed};
  }
  // The check of the value at path in form (an action's document form), or null for a
  // value the panel does not take typed (a derived one, a detail's type).
  function checkFor(form, path) {
    var name = path[path.length - 1], found = null;
    function integer(owner, fields) {
      fields.forEach(function (pair) {
        if (pair[0] === name) found = checkInteger.bind(null, owner, name, pair[1]);
      });
    }
    if (path.length === 1) {
      integer(rules.owner, rules.head.concat(rules.trailer));
      rules.texts.forEach(function (text) {
        if (text[0] === name) found = checkText.bind(null, name, text[1], text[2]);
      });
      rules.codes.forEach(function (code) {
        if (code[0] === name) found = checkCode.bind(null, name, code[1]);
      });
    } else if (path[0] === "details" && form.details[path[1]]) {
      var kind = rules.bodies[form.details[path[1]].header.type];
      if (kind && path.length === 4 && path[2] === "body") integer(kind.owner, kind.fields);
      if (kind && kind.count && path.length === 5 && path[2] === "stats") {
        integer(rules.stat.owner, rules.stat.fields);
      }
    }
    return found;
  }
  // the bytes of a text as the form holds it (a string, or {"hex"} of bytes)
  function textBytes(value) {
    return typeof value === "string" ? byteLength(value) :
      isObject(value) && typeof value.hex === "string" ? value.hex.length / 2 : 0;
  }
  function bodySize(detail) {
    var kind = rules.bodies[detail.header.type];
    if (!kind) return textBytes(detail.body);
    return kind.size + rules.stat.size * (detail.stats ? detail.stats.length : 0);
  }

  // ---- names of coded fields ------------------------------------------------------------

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
    if (isObject(value)) return "hex " + value.hex;
    var name = nameOf(field, value);
    return name ? name + " (" + value + ")" : String(value);
  }

  // ---- the edited set -------------------------------------------------------------------
  // items: the actions in their current order, each {form, base: its index in the base or
  // -1 when added}. A form is never changed in place: an edit gives the item a new form, so
  // an untouched item still holds its base form.

  var items = base.map(function (form, i) { return {form: form, base: i}; });
  var undoSteps = [], unsaved = false, keepPending = null, notice = "";

  function figures(item) {
    // marks: [element, kind] of each detail of a known kind, for the chart of elements
    var made = {damage: 0, healing: 0, kinds: [], elements: [], marks: []};
    (item.form.details || []).forEach(function (detail) {
      var kind = kindOf(detail.header.type), body = detail.body;
      if (made.kinds.indexOf(kind) < 0) made.kinds.push(kind);
      if (data.kinds[detail.header.type]) {
        made.marks.push([kind === "damage" ? nameOf("elemType", body.elemType) ||
                         "element " + body.elemType : "no element", kind]);
      }
      if (kind === "damage") {
        made.damage += dice(body.dice, body.die) + body.base;
        var element = nameOf("elemType", body.elemType) || String(body.elemType);
        if (made.elements.indexOf(element) < 0) made.elements.push(element);
      } else if (kind === "healing") {
        made.healing += dice(body.numDice, body.numSides) + body.base;
      }
    });
    made.kinds = made.kinds.join(" ");
    made.elements = made.elements.join(" ");
    return made;
  }
  function refresh(item) {
    item.words = item.dot = undefined;
    item.figures = figures(item);
    item.changed = item.base < 0 || (item.form !== base[item.base] &&
                                     canonical(item.form) !== canonical(base[item.base]));
  }
  function renumber() {
    items.forEach(function (item, i) {
      if (item.no !== i) item.words = undefined;
      item.no = i;
    });
  }
  items.forEach(refresh);
  renumber();

  function editedForms() { return items.map(function (item) { return item.form; }); }
  function currentPatch() { return makePatch(base, editedForms()); }

  // One undo step per edit.
  function setForm(item, form) {
    undoSteps.push({item: item, form: item.form});
    item.form = form;
    refresh(item);
    edited(item);
  }
  function insertItem(position, item, after) {
    undoSteps.push({inserted: item});
    items.splice(position, 0, item);
    var shownAt = after ? shownRows.indexOf(after) : -1;
    shownRows.splice(shownAt < 0 ? shownRows.length : shownAt + 1, 0, item);
    refresh(item);
    renumber();
    edited();
  }
  function removeItem(item) {
    var position = items.indexOf(item), shownAt = shownRows.indexOf(item);
    undoSteps.push({removed: item, position: position, shownAt: shownAt});
    items.splice(position, 1);
    if (shownAt >= 0) shownRows.splice(shownAt, 1);
    renumber();
    if (chosen === item) chosen = null;
    edited();
  }
  function undo() {
    var step = undoSteps.pop();
    if (!step) return;
    if (step.inserted) {
      items.splice(items.indexOf(step.inserted), 1);
      var shownAt = shownRows.indexOf(step.inserted);
      if (shownAt >= 0) shownRows.splice(shownAt, 1);
      if (chosen === step.inserted) chosen = null;
      renumber();
    } else if (step.removed) {
      items.splice(step.position, 0, step.removed);
      shownRows.splice(step.shownAt < 0 ? shownRows.length : step.shownAt, 0, step.removed);
      renumber();
      chosen = step.removed;
    } else {
      step.item.form = step.form;
      refresh(step.item);
      chosen = step.item;
    }
    edited();
    showPanel();
  }
  // After every edit: the table, the charts, the counts, and the work kept for a reload.
  var editTimes = {};  // milliseconds of each part of the last edit, for a timing run
  function timed(name, work) {
    var start = performance.now();
    work();
    editTimes[name] = performance.now() - start;
  }
  // item: the one action whose fields changed, if that is all that changed
  function edited(item) {
    unsaved = true;
    notice = "";
    timed("table", item ? drawRow.bind(null, item) : draw);
    timed("charts", drawCharts);
    timed("counts", showEdits);
    clearTimeout(keepPending);
    keepPending = setTimeout(keepWork, 250);
  }
  function showEdits() {
    var changed = 0, added = 0, kept = 0;
    items.forEach(function (item) {
      if (item.base < 0) added++; else { kept++; if (item.changed) changed++; }
    });
    var removed = base.length - kept, parts = [];
    if (changed) parts.push(changed + " changed");
    if (added) parts.push(added + " added");
    if (removed) parts.push(removed + " removed");
    var words = parts.length ? parts.join(", ") + (unsaved ? " (unsaved)" : " (saved)") : "";
    document.getElementById("edits").textContent = [words, notice].filter(Boolean).join(" ");
    document.getElementById("undo").disabled = !undoSteps.length;
    document.getElementById("save").disabled = !parts.length;
  }

  // Unsaved work survives a reload: kept in the browser's storage under the base's digest,
  // as runs of untouched base actions and the forms of the others.
  function keepWork() {
    clearTimeout(keepPending);
    var runs = [], run = null;
    items.forEach(function (item) {
      if (item.base >= 0 && item.form === base[item.base] && run &&
          run[1] + run[2] === item.base) {
        run[2]++;
      } else if (item.base >= 0 && item.form === base[item.base]) {
        runs.push(run = ["base", item.base, 1]);
      } else {
        runs.push(["form", item.base, item.form]);
        run = null;
      }
    });
    var untouched = runs.length === 1 && runs[0][0] === "base" && runs[0][1] === 0 &&
      runs[0][2] === base.length;
    try {
      if (untouched || !base.length && !runs.length) localStorage.removeItem(STORAGE_KEY);
      else localStorage.setItem(STORAGE_KEY, JSON.stringify({runs: runs, unsaved: unsaved}));
    } catch (error) {  // storage full or refused: the edits stay in the page only
      notice = "(not kept for a reload: " + error.name + ")";
    }
  }
  function restoreWork() {
    var kept = null;
    try { kept = JSON.parse(localStorage.getItem(STORAGE_KEY) || "null"); } catch (error) {}
    if (!kept || !Array.isArray(kept.runs)) return;
    var restored = [];
    kept.runs.forEach(function (run) {
      if (!Array.isArray(run) || !Number.isInteger(run[1])) return;  // not what keepWork wrote
      if (run[0] === "base" && Number.isInteger(run[2])) {
        for (var i = run[1]; i < run[1] + run[2] && i < base.length; i++) {
          restored.push({form: base[i], base: i});
        }
      } else if (run[0] === "form" && isObject(run[2])) {
        restored.push({form: run[2], base: run[1] >= 0 && run[1] < base.length ? run[1] : -1});
      }
    });
    items = restored;
    items.forEach(refresh);
    renumber();
    unsaved = !!kept.unsaved;
    notice = "(edits restored from an earlier visit)";
  }

  function saveChanges() {
    var text = patchText(currentPatch());
    var link = document.createElement("a");
    link.href = URL.createObjectURL(new Blob([text], {type: "application/json"}));
    link.download = data.title.replace(/\.gz$/, "") + ".changes.json";
    document.body.appendChild(link);
    link.click();
    document.body.removeChild(link);
    setTimeout(function () { URL.revokeObjectURL(link.href); }, 1000);
    unsaved = false;
    keepWork();
    showEdits();
  }

  // ---- the table --------------------------------------------------------------------------
  // Columns: action_no, then the actions table's columns that hold a value in some action
  // (the ID and texts first), then figures of the details.

  function pathValue(path) {
    return function (item) {
      var value = at(item.form, path);
      return isObject(value) || Array.isArray(value) ? null : value;
    };
  }
  var columns = [{name: "action_no", value: function (item) { return item.no; }}];
  data.columns.actions.forEach(function (pair) {
    var get = pathValue(pair[1]);
    if (!items.some(function (item) { return get(item) !== null; })) return;
    columns.push({name: pair[0], value: get, wide: pair[0] === "name" || pair[0] === "desc"});
  });
  function place(column, i) {
    return [column.name === "action_no" || column.name === rules.actionID ? 0 :
            column.wide ? 1 : 2, i];
  }
  columns = columns.map(function (c, i) { return [place(c, i), c]; }).sort(function (x, y) {
    return x[0][0] - y[0][0] || x[0][1] - y[0][1];
  }).map(function (pair) { return pair[1]; });
  [["details", "kinds"], ["damage", "damage"], ["healing", "healing"],
   ["elements", "elements"]].forEach(function (pair) {
    columns.push({name: pair[0], value: function (item) { return item.figures[pair[1]]; },
                  wide: pair[0] === "details"});
  });

  var shownRows = items.slice(), sortColumn = null, sortOrder = 1, chosen = null;
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

  function text(column, item) {
    var value = column.value(item);
    var name = nameOf(column.name, value);
    return value === null || value === undefined ? "" : name ? name : String(value);
  }

  // every column's text of an item, kept until the item or its number changes
  function searchText(item) {
    if (item.words === undefined) {
      item.words = columns.map(function (c) { return text(c, item); }).join(" ").toLowerCase();
    }
    return item.words;
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
    var keyed = shownRows.map(function (item) { return [column.value(item), item]; });
    keyed.sort(function (x, y) {
      var p = x[0], q = y[0];
      if (p === q) return x[1].no - y[1].no;
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
    shownRows = items.filter(function (item) {
      if (wanted !== "") {
        var value = column.value(item), label = text(column, item);
        if (op === "contains") {
          if (label.toLowerCase().indexOf(wanted.toLowerCase()) < 0) return false;
        } else if (op === "=") {
          if (!(String(value) === wanted || label === wanted)) return false;
        } else if (value === null || isNaN(number) ||
                   (op === "<" ? !(value < number) : !(value > number))) {
          return false;
        }
      }
      if (words && searchText(item).indexOf(words) < 0) return false;
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
    for (var i = first; i < last; i++) made.appendChild(rowOf(shownRows[i]));
    rowsBox.textContent = "";
    rowsBox.appendChild(made);
    document.getElementById("count").textContent =
      shownRows.length + " of " + items.length + " actions";
  }
  function rowOf(item) {
    var line = document.createElement("div");
    line.className = "row" + (item === chosen ? " chosen" : "") +
      (item.base < 0 ? " added" : item.changed ? " changed" : "");
    line.dataset.action = item.no;
    columns.forEach(function (column) {
      var cell = document.createElement("span"), value = column.value(item);
      cell.textContent = text(column, item);
      cell.title = cell.textContent;
      cell.className = (column.wide ? "wide " : "") + (typeof value === "number" ? "num" : "");
      line.appendChild(cell);
    });
    line.addEventListener("click", choose.bind(null, item));
    return line;
  }
  // After an edit of one action's fields only its row changes, if it is in view.
  function drawRow(item) {
    var old = rowsBox.querySelector('.row[data-action="' + item.no + '"]');
    if (old) rowsBox.replaceChild(rowOf(item), old);
  }

  // ---- the panel: every field of the chosen action, edited in place -------------------------
  // Each input names its place in the form (data-path "details.0.body.base"). A value is
  // checked as it is typed: a refused one stays in the input, marked, with the reason beside
  // it, and the action keeps its last good value.

  function element(tag, className, words) {
    var made = document.createElement(tag);
    if (className) made.className = className;
    if (words !== undefined) made.textContent = words;
    return made;
  }
  function button(words, action, name) {
    var made = element("button", "", words);
    made.type = "button";
    if (name) made.dataset.edit = name;
    made.addEventListener("click", action);
    return made;
  }
  // Gives the chosen action a changed copy of its form: change(form) edits the copy.
  function change(how) {
    var form = copy(chosen.form);
    how(form);
    followType(form);
    setForm(chosen, form);
  }
  function setAt(form, path, value) {
    var place = form;
    for (var i = 0; i < path.length - 1; i++) place = place[path[i]];
    place[path[path.length - 1]] = value;
  }
  function fieldRow(table, label, path) {
    var line = table.insertRow();
    line.insertCell().textContent = label;
    var cell = line.insertCell(), note = line.insertCell();
    note.className = "refusal";
    return {cell: cell, note: note};
  }
  function derivedRow(table, label, value) {
    var line = table.insertRow();
    line.className = "derived";
    line.insertCell().textContent = label;
    var cell = line.insertCell();
    cell.textContent = value;
    cell.title = "follows from the action's other fields";
    line.insertCell();
    return cell;
  }
  // An input whose typed value check() turns into {value} or {error}; take(value) stores it.
  function checkedInput(row, path, current, check, take) {
    var input = element("input");
    input.value = current;
    input.dataset.path = path.join(".");
    function checked() {
      var result = check(input.value);
      input.classList.toggle("refused", result.error !== undefined);
      input.setAttribute("aria-invalid", result.error !== undefined ? "true" : "false");
      row.note.textContent = result.error || "";
      return result;
    }
    input.addEventListener("input", checked);
    // taken when the typing ends (Enter or leaving the field): "3" on the way to "30" is not
    // an edit of its own
    input.addEventListener("change", function () {
      var result = checked();
      if (result.error === undefined) take(result.value);
    });
    row.cell.appendChild(input);
    return input;
  }
  function integerField(table, path, rebuild) {
    var name = path[path.length - 1], current = at(chosen.form, path);
    var row = fieldRow(table, name, path);
    var take = function (value) {
      if (value === at(chosen.form, path)) return;
      change(function (form) { setAt(form, path, value); });
      if (rebuild) showPanel();
      else refreshDerived();
    };
    var codes = names.codes[name], bits = names.bits[name];
    if (codes) {  // a coded field: chosen by name
      var choice = element("select");
      choice.dataset.path = path.join(".");
      var known = Object.keys(codes).map(Number).sort(function (x, y) { return x - y; });
      if (known.indexOf(current) < 0) known.unshift(current);
      known.forEach(function (code) {
        var option = element("option", "", codes[code] !== undefined ?
                             codes[code] + " (" + code + ")" : code + " (no name)");
        option.value = code;
        option.selected = code === current;
        choice.appendChild(option);
      });
      var other = element("option", "", "another code...");
      other.value = "other";
      choice.appendChild(other);
      choice.addEventListener("change", function () {
        if (choice.value !== "other") return take(Number(choice.value));
        // a code without a name: typed, and checked as any number
        row.cell.removeChild(choice);
        checkedInput(row, path, at(chosen.form, path), checkFor(chosen.form, path),
                     take).focus();
      });
      row.cell.appendChild(choice);
      return;
    }
    var boxes = [];
    var input = checkedInput(row, path, current, checkFor(chosen.form, path), function (value) {
      take(value);
      boxes.forEach(function (box) { box.sync(value); });
    });
    if (!bits) return;
    // a flag field: its named bits as boxes beside the number
    Object.keys(bits).map(Number).sort(function (x, y) { return x - y; }).forEach(function (bit) {
      var box = element("input"), label = element("label", "bit"), weight = Math.pow(2, bit);
      box.type = "checkbox";
      box.sync = function (value) { box.checked = Math.floor(value / weight) % 2 === 1; };
      box.sync(current);
      box.addEventListener("change", function () {
        var value = at(chosen.form, path);
        var has = Math.floor(value / weight) % 2 === 1;
        if (has !== box.checked) value += box.checked ? weight : -weight;
        input.value = value;
        take(value);
      });
      boxes.push(box);
      label.appendChild(box);
      label.appendChild(document.createTextNode(bits[bit]));
      row.cell.appendChild(label);
    });
  }
  function textField(table, path) {
    var row = fieldRow(table, path[path.length - 1], path), current = at(chosen.form, path);
    if (typeof current !== "string") {  // bytes that are not UTF-8: shown, not edited here
      row.cell.textContent = shown(path[0], current);
      row.note.textContent = "not UTF-8: edit it in the JSON form";
      return;
    }
    checkedInput(row, path, current, checkFor(chosen.form, path), function (value) {
      if (value === at(chosen.form, path)) return;
      change(function (form) { setAt(form, path, value); });
      refreshDerived();
    });
  }
  var derivedCells = [];
  function derived(table, label, value) {
    derivedCells.push({cell: derivedRow(table, label, ""), value: value});
  }
  function refreshDerived() {
    derivedCells.forEach(function (d) { d.cell.textContent = String(d.value(chosen.form)); });
    var title = document.querySelector("#panel h2");
    if (title) title.textContent = panelTitle();
  }
  function panelTitle() {
    return "action " + chosen.no + " (id " + chosen.form[rules.actionID] + ")" +
      (chosen.base < 0 ? ", added" : chosen.changed ? ", changed" : "");
  }

  function actionFields(panel) {
    var table = element("table");
    rules.head.forEach(function (pair) {
      integerField(table, [pair[0]], pair[0] === rules.actionType);
    });
    rules.texts.forEach(function (text) {
      textField(table, [text[0]]);
      derived(table, text[1], function (form) { return textBytes(form[text[0]]); });
    });
    if (isSpell(chosen.form)) {
      rules.codes.forEach(function (code) {
        textField(table, [code[0]]);
      });
      rules.trailer.forEach(function (pair) { integerField(table, [pair[0]]); });
    }
    derived(table, rules.detailCount[0], function (form) { return form.details.length; });
    panel.appendChild(table);
  }
  function detailFields(panel, detail, i) {
    var box = element("div", "detail");
    var title = element("h3", "", "detail " + i + ": " +
                        (data.kinds[detail.header.type] || "unknown type"));
    title.appendChild(button("remove detail", function () {
      change(function (form) { form.details.splice(i, 1); });
      showPanel();
    }, "remove-detail-" + i));
    box.appendChild(title);
    var table = element("table"), kind = rules.bodies[detail.header.type];
    derivedRow(table, "type", shown("type", detail.header.type));
    derived(table, "length", function (form) {
      var d = form.details[i];
      return d.header.length !== undefined ? d.header.length : bodySize(d);
    });
    if (!kind) {
      derivedRow(table, "body", shown("body", detail.body));
    } else {
      kind.fields.forEach(function (pair) {
        integerField(table, ["details", i, "body", pair[0]]);
      });
    }
    box.appendChild(table);
    if (kind && kind.count) {
      derived(table, kind.count, function (form) { return form.details[i].stats.length; });
      (detail.stats || []).forEach(function (entry, j) {
        var entryTable = element("table", "stat");
        var caption = entryTable.createCaption();
        caption.textContent = "stat entry " + j + " ";
        caption.appendChild(button("remove", function () {
          change(function (form) { form.details[i].stats.splice(j, 1); });
          showPanel();
        }, "remove-stat-" + i + "-" + j));
        rules.stat.fields.forEach(function (pair) {
          integerField(entryTable, ["details", i, "stats", j, pair[0]]);
        });
        box.appendChild(entryTable);
      });
      box.appendChild(button("add stat entry", function () {
        change(function (form) { form.details[i].stats.push(copy(blank.stat)); });
        showPanel();
      }, "add-stat-" + i));
    }
    panel.appendChild(box);
  }
  function addDetailControls(panel) {
    var line = element("p", "add-detail"), type = element("select");
    type.id = "detail-type";
    Object.keys(blank.details).forEach(function (number) {
      var option = element("option", "", kindOf(number) + " (" + number + ")");
      option.value = number;
      type.appendChild(option);
    });
    var most = rules.kinds[rules.detailCount[1]].high;
    line.appendChild(type);
    line.appendChild(button("add detail", function () {
      if (chosen.form.details.length >= most) {
        line.lastChild.textContent = " " + chosen.form.details.length + " details, more than " +
          rules.detailCount[0] + " holds (0 to " + most + ")";
        return;
      }
      change(function (form) { form.details.push(copy(blank.details[type.value])); });
      showPanel();
    }, "add-detail"));
    line.appendChild(element("span", "refusal"));
    panel.appendChild(line);
  }
  function showPanel() {
    var panel = document.getElementById("panel");
    panel.textContent = "";
    derivedCells = [];
    if (!chosen) {
      panel.appendChild(element("p", "hint", "Choose an action to see and edit all its fields."));
      return;
    }
    var title = element("div", "panel-title");
    title.appendChild(element("h2", "", panelTitle()));
    title.appendChild(button("duplicate", duplicate, "duplicate"));
    title.appendChild(button("remove action", function () { removeItem(chosen); showPanel(); },
                             "remove-action"));
    panel.appendChild(title);
    actionFields(panel);
    chosen.form.details.forEach(function (detail, i) { detailFields(panel, detail, i); });
    addDetailControls(panel);
    refreshDerived();
  }
  function choose(item) {
    chosen = item;
    showPanel();
    draw();
    drawCharts();  // the chosen action stands out on the chart of cost
  }
  function freeID() {
    var most = -1;
    items.forEach(function (item) { most = Math.max(most, item.form[rules.actionID]); });
    var kind = rules.head.filter(function (pair) { return pair[0] === rules.actionID; })[0][1];
    return Math.min(most + 1, rules.kinds[kind].high);
  }
  function duplicate() {
    var made = {form: copy(chosen.form), base: -1};
    made.form[rules.actionID] = freeID();
    insertItem(items.indexOf(chosen) + 1, made, chosen);
    choose(made);
  }
  function addAction() {
    var made = {form: copy(blank.action), base: -1};
    made.form[rules.actionID] = freeID();
    insertItem(items.length, made, null);
    choose(made);
  }
  // actionType decides whether the trailer is there: it comes and goes with the type
  function followType(form) {
    var spell = isSpell(form);
    Object.keys(blank.trailer).forEach(function (name) {
      if (spell && !(name in form)) form[name] = blank.trailer[name];
      if (!spell) delete form[name];
    });
  }

  // ---- charts (SVG) -----------------------------------------------------------------------

  function svg(tag, attributes, parent) {
    var made = document.createElementNS(SVG, tag);
    Object.keys(attributes).forEach(function (k) { made.setAttribute(k, attributes[k]); });
    if (parent) parent.appendChild(made);
    return made;
  }
  function figure(id, caption) {
    var box = document.getElementById(id);
    if (!box) {
      box = document.createElement("figure");
      box.id = id;
      box.appendChild(element("figcaption", "", caption));
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
    shownRows.forEach(function (item) {
      var level = item.form.levelAcquired;
      var l = byLevel[level] = byLevel[level] || [0, 0, 0];
      l[0] += item.figures.damage; l[1] += item.figures.healing; l[2] += 1;
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
    var kindAt = {};
    kinds.forEach(function (kind, i) { kindAt[kind] = i; });
    shownRows.forEach(function (item) {
      item.figures.marks.forEach(function (mark) {
        var e = byElement[mark[0]] = byElement[mark[0]] || kinds.map(function () { return 0; });
        e[kindAt[mark[1]]] += 1;
      });
    });
    bars(figure("chart-element", "details by element and kind"),
         Object.keys(byElement).sort().map(function (e) { return [e, byElement[e]]; }),
         kinds.map(function (k, i) { return [k, colours[i % colours.length]]; }));

    var chart = figure("chart-cost", "cost against expected damage + healing");
    var most = [1, 1];
    shownRows.forEach(function (item) {
      most[0] = Math.max(most[0], item.form.spellCost || 0);
      most[1] = Math.max(most[1], item.figures.damage + item.figures.healing);
    });
    svg("line", {x1: 40, y1: 200, x2: 410, y2: 200, stroke: "#888"}, chart);
    svg("line", {x1: 40, y1: 10, x2: 40, y2: 200, stroke: "#888"}, chart);
    label(chart, 225, 232, "spellCost (up to " + most[0] + ")");
    label(chart, 36, 14, String(most[1]), "end");
    // every dot in one path (quick to redraw after each edit); the chosen and the changed
    // actions as circles of their own, named
    var x = function (item) { return 40 + item.form.spellCost / most[0] * 370; };
    var y = function (item) {
      return 200 - (item.figures.damage + item.figures.healing) / most[1] * 190;
    };
    var scale = most.join(" "), dots = [], marked = [];
    function dot(item) {  // kept with the item until it or the scale changes
      if (item.dot === undefined || item.dotScale !== scale) {
        item.dot = "M" + x(item).toFixed(1) + " " + y(item).toFixed(1) + "h0";
        item.dotScale = scale;
      }
      return item.dot;
    }
    var every = Math.max(1, Math.floor(shownRows.length / 4000));  // a sample of a big set
    for (var i = 0; i < shownRows.length; i++) {
      var item = shownRows[i];
      if (item.form.spellCost === undefined) continue;
      if (item === chosen || item.changed) marked.push(item);
      else if (i % every === 0) dots.push(dot(item));
    }
    svg("path", {d: dots.join(""), stroke: "#2980b9", "stroke-opacity": 0.6, "stroke-width": 6,
                 "stroke-linecap": "round", fill: "none"}, chart);
    marked.forEach(function (item) {
      svg("title", {}, svg("circle", {
        cx: x(item), cy: y(item), r: item === chosen ? 5 : 3.5,
        fill: item === chosen ? "#e67e22" : "#8e44ad", "fill-opacity": 0.8}, chart)
      ).textContent = shown("name", item.form.name);
    });
  }

  // ---- wiring -------------------------------------------------------------------------------

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
  document.getElementById("add-action").addEventListener("click", addAction);
  document.getElementById("undo").addEventListener("click", undo);
  document.getElementById("save").addEventListener("click", saveChanges);
  window.addEventListener("beforeunload", function (event) {
    keepWork();
    if (window.actionPage.unsaved()) {
      event.preventDefault();
      event.returnValue = "";  // the browser asks before the page closes
    }
  });
  scroller.addEventListener("scroll", function () { window.requestAnimationFrame(draw); });
  window.addEventListener("resize", draw);

  restoreWork();
  shownRows = items.slice();
  draw();
  drawCharts();
  showEdits();
  window.actionPage = {
    filter: filter,
    shown: function () { return shownRows.length; },
    patch: function () { return patchText(currentPatch()); },
    unsaved: function () { return unsaved && !document.getElementById("save").disabled; },
    choose: function (no) { choose(items[no]); },
    // the page's refusal of typed at path (["details", 0, "body", "base"]) in action no
    refusal: function (no, path, typed) {
      var check = checkFor(items[no].form, path);
      return check ? check(typed).error || null : "no check";
    },
    editTimes: function () { return editTimes; }
  };
})();
