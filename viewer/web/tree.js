// The product tree: an ARIA tree with one treeitem per scene node, each row
// showing its node's name. Rows with children open and close by their toggle
// or the arrow keys; a click, Enter or Space selects (Ctrl or Shift adds).
// Focus moves by a roving tabindex, so the tree is one stop for Tab.

export class Tree {
    // `onSelect(names, additive)` is called when the user selects rows.
    constructor(element, onSelect) {
        this.element = element;
        this.onSelect = onSelect;
        this.items = [];        // per scene node: { li, name, parent, children: [] }
        this.byName = new Map();
        this.selected = new Set();
        this.partSet = new Set();
        element.addEventListener('keydown', (e) => this.key(e));
        element.addEventListener('click', (e) => this.click(e));
    }

    build(sceneNodes) {
        this.element.replaceChildren();
        this.selected = new Set();
        this.partSet = new Set();
        this.items = sceneNodes.map((node, index) => ({ index, name: node.name, parent: node.parent, children: [] }));
        this.byName = new Map(this.items.map((item) => [item.name, item]));
        for (const item of this.items)
            if (item.parent >= 0 && item.parent < this.items.length) this.items[item.parent].children.push(item);
        const roots = this.items.filter((item) => !(item.parent >= 0 && item.parent < this.items.length));
        const make = (item, level) => {
            const li = document.createElement('li');
            li.setAttribute('role', 'treeitem');
            // Named by its own row only; its sub-tree's names would follow otherwise.
            li.setAttribute('aria-label', item.name);
            li.setAttribute('aria-level', String(level));
            li.setAttribute('aria-selected', 'false');
            li.tabIndex = -1;
            li.dataset.index = String(item.index);
            const row = document.createElement('div');
            row.className = 'row';
            const toggle = document.createElement('span');
            toggle.className = 'toggle';
            toggle.setAttribute('aria-hidden', 'true');
            const name = document.createElement('span');
            name.className = 'name';
            name.textContent = item.name;
            row.append(toggle, name);
            li.append(row);
            item.li = li;
            if (item.children.length) {
                // Top levels open, deeper ones closed: a large assembly stays readable.
                this.setExpanded(item, level <= 1);
                const group = document.createElement('ul');
                group.setAttribute('role', 'group');
                for (const child of item.children) group.append(make(child, level + 1));
                li.append(group);
            }
            return li;
        };
        for (const root of roots) this.element.append(make(root, 1));
        if (roots.length) roots[0].li.tabIndex = 0;
    }

    setExpanded(item, open) {
        if (!item.children.length) return;
        item.li.setAttribute('aria-expanded', String(open));
        item.li.querySelector(':scope > .row > .toggle').textContent = open ? '▾' : '▸';
    }

    isExpanded(item) {
        return item.li.getAttribute('aria-expanded') === 'true';
    }

    // Rows a user can reach now: those under no closed row, in document order.
    visibleItems() {
        const out = [];
        const walk = (item) => {
            out.push(item);
            if (item.children.length && this.isExpanded(item)) for (const child of item.children) walk(child);
        };
        for (const item of this.items) if (!(item.parent >= 0 && item.parent < this.items.length)) walk(item);
        return out;
    }

    itemOf(node) {
        const li = node && node.closest ? node.closest('[role=treeitem]') : null;
        return li ? this.items[Number(li.dataset.index)] : null;
    }

    focus(item) {
        for (const other of this.element.querySelectorAll('[role=treeitem][tabindex="0"]')) other.tabIndex = -1;
        item.li.tabIndex = 0;
        item.li.focus();
    }

    // Opens every row above `name` and shows it, as a click in the view does.
    reveal(name) {
        const item = this.byName.get(name);
        if (!item) return;
        for (let p = item.parent; p >= 0 && p < this.items.length; p = this.items[p].parent) this.setExpanded(this.items[p], true);
        item.li.scrollIntoView({ block: 'nearest' });
    }

    // Marks the rows in `names` and unmarks the others; only rows whose mark
    // changes are touched, so that a large tree costs nothing when the
    // selection stays as it was.
    mark(names, previous, set) {
        for (const name of previous) {
            const item = names.has(name) ? null : this.byName.get(name);
            if (item) set(item.li, false);
        }
        for (const name of names) {
            const item = previous.has(name) ? null : this.byName.get(name);
            if (item) set(item.li, true);
        }
        return new Set(names);
    }

    setSelected(names) {
        this.selected = this.mark(names, this.selected, (li, on) => li.setAttribute('aria-selected', String(on)));
    }

    setPartSet(names) {
        this.partSet = this.mark(names, this.partSet, (li, on) => li.classList.toggle('in-part-set', on));
    }

    click(event) {
        const item = this.itemOf(event.target);
        if (!item) return;
        if (event.target.classList.contains('toggle')) {
            this.setExpanded(item, !this.isExpanded(item));
            this.focus(item);
            return;
        }
        this.focus(item);
        this.onSelect([item.name], event.ctrlKey || event.metaKey || event.shiftKey);
    }

    key(event) {
        const item = this.itemOf(document.activeElement);
        if (!item) return;
        const visible = this.visibleItems();
        const at = visible.indexOf(item);
        let handled = true;
        switch (event.key) {
        case 'ArrowDown':
            if (at + 1 < visible.length) this.focus(visible[at + 1]);
            break;
        case 'ArrowUp':
            if (at > 0) this.focus(visible[at - 1]);
            break;
        case 'ArrowRight':
            if (item.children.length && !this.isExpanded(item)) this.setExpanded(item, true);
            else if (item.children.length) this.focus(item.children[0]);
            break;
        case 'ArrowLeft':
            if (item.children.length && this.isExpanded(item)) this.setExpanded(item, false);
            else if (item.parent >= 0 && item.parent < this.items.length) this.focus(this.items[item.parent]);
            break;
        case 'Home':
            this.focus(visible[0]);
            break;
        case 'End':
            this.focus(visible[visible.length - 1]);
            break;
        case 'Enter':
        case ' ':
            this.onSelect([item.name], event.ctrlKey || event.metaKey || event.shiftKey);
            break;
        default:
            handled = false;
        }
        if (handled) event.preventDefault();
    }
}
