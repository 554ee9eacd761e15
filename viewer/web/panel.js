// The alignment panel: the buttons, the two frame selects with their custom
// fields, the offsets, mode and preview, the state line and the notifications.
// It only shows state and reports what the user did; main.js talks to the host.

const kKinds = ['none', 'parts', 'world', 'custom'];   // the host's CSYS_TYPE 0..3
const kFields = ['X', 'Y', 'Z', 'RX', 'RY', 'RZ'];
const kOffsetFields = ['TX', 'TY', 'TZ', 'RX', 'RY', 'RZ'];

function numberFields(holder, prefix, names) {
    return names.map((n) => {
        const cell = document.createElement('div');
        const label = document.createElement('label');
        const input = document.createElement('input');
        input.type = 'number';
        input.step = 'any';
        input.value = '0';
        input.id = `${prefix}-${n}`.toLowerCase();
        label.htmlFor = input.id;
        label.textContent = `${prefix} ${n}`;
        cell.append(label, input);
        holder.append(cell);
        return input;
    });
}

export class Panel {
    constructor(doc, handlers) {
        const $ = (id) => doc.getElementById(id);
        this.handlers = handlers;
        this.alert = $('alert');
        this.status = $('status');
        this.stateLine = $('state-line');
        this.events = $('events');
        this.buttons = {
            add: $('add'), remove: $('remove'), apply: $('apply'), undo: $('undo'), redo: $('redo'), save: $('save'),
        };
        for (const [name, button] of Object.entries(this.buttons)) button.addEventListener('click', () => handlers.action(name));
        for (const button of doc.querySelectorAll('[data-reset]'))
            button.addEventListener('click', () => handlers.reset(Number(button.dataset.reset)));

        this.frames = {};
        for (const which of ['origin', 'target']) {
            const select = $(`${which}-kind`);
            const custom = $(`${which}-custom`);
            custom.classList.add('six');
            const title = which === 'origin' ? 'Origin' : 'Target';
            const fields = numberFields(custom, title, kFields);
            this.frames[which] = { select, custom, fields, title };
            select.addEventListener('change', () => {
                custom.hidden = select.value !== 'custom';
                handlers.frameKind(which, select.value);
            });
            for (const field of fields) field.addEventListener('input', () => handlers.customValues(which));
        }

        this.offsets = numberFields($('offsets'), 'Offset', kOffsetFields);
        for (const field of this.offsets) field.addEventListener('input', () => handlers.offsets());
        this.mode = $('mode');
        this.mode.addEventListener('change', () => handlers.mode(Number(this.mode.value)));
        this.previewed = $('previewed');
        this.previewed.addEventListener('change', () => handlers.previewed(this.previewed.checked));
        this.eventCount = 0;
    }

    // The six fields' texts as JSON numbers, or a message naming the first bad one.
    read(fields, title, names, numberText) {
        const values = [];
        for (const [i, field] of fields.entries()) {
            const text = field.validity && field.validity.badInput ? null : numberText(field.value);
            if (text === null) return { error: `${title} ${names[i]}: not a number` };
            values.push(text);
        }
        return { values };
    }

    readCustom(which, numberText) {
        const frame = this.frames[which];
        return this.read(frame.fields, frame.title, kFields, numberText);
    }

    readOffsets(numberText) {
        return this.read(this.offsets, 'Offset', kOffsetFields, numberText);
    }

    showAlert(text) {
        this.alert.textContent = text;
        this.alert.hidden = false;
    }

    clearAlert() {
        this.alert.hidden = true;
        this.alert.textContent = '';
    }

    showStatus(text) {
        this.status.textContent = text;
    }

    // Shows the host's state. Fields the user is editing, or whose change is
    // still on its way, keep what the user typed.
    update(answer, busy) {
        const s = answer.state || {};
        this.stateLine.textContent = answer.line || '';
        this.buttons.add.disabled = !s.canAdd;
        this.buttons.remove.disabled = !s.canRemove;
        this.buttons.undo.disabled = !answer.canUndo;
        this.buttons.redo.disabled = !answer.canRedo;
        this.buttons.apply.disabled = !s.started;
        for (const which of ['origin', 'target']) {
            const frame = this.frames[which];
            if (busy.frame[which] || frame.fields.includes(document.activeElement)) continue;
            // The host says how the frame was made where it can ("picked" and
            // "custom" are both a custom frame to the library).
            const csys = answer.csys && answer.csys[which];
            const kind = csys && csys.kind ? csys.kind : kKinds[s[which]] || 'none';
            if (frame.select.value !== kind && !(frame.select.value === 'picked' && kind === 'none')) {
                frame.select.value = kind;
            }
            frame.custom.hidden = frame.select.value !== 'custom';
            if (kind === 'custom' && csys && Array.isArray(csys.values)) {
                for (const [i, field] of frame.fields.entries())
                    if (Number(field.value) !== csys.values[i] || field.value === '') field.value = String(csys.values[i]);
            }
        }
        if (Array.isArray(s.offsets) && !busy.offsets) {
            for (const [i, field] of this.offsets.entries()) {
                if (field === document.activeElement) continue;
                if (Number(field.value) !== s.offsets[i] || field.value === '') field.value = String(s.offsets[i]);
            }
        }
        if (typeof s.mode === 'number' && document.activeElement !== this.mode) this.mode.value = String(s.mode);
        if (typeof s.previewed === 'boolean') this.previewed.checked = s.previewed;
        this.addEvents(answer.events || [], answer.eventCount || 0);
    }

    // Appends the notifications that arrived since the last answer.
    addEvents(lines, total) {
        if (total < this.eventCount) {
            this.events.replaceChildren();
            this.eventCount = 0;
        }
        const fresh = Math.min(total - this.eventCount, lines.length);
        for (const line of lines.slice(lines.length - fresh)) {
            const li = document.createElement('li');
            li.textContent = line;
            this.events.append(li);
        }
        this.eventCount = total;
        while (this.events.children.length > 500) this.events.firstChild.remove();
        if (fresh > 0) this.events.scrollTop = this.events.scrollHeight;
    }
}
