'use strict';
// The new-message popup. It holds every message received since it opened (oldest first)
// and shows the three newest, newest on top; the rest are counted in "Посмотреть еще", which
// leads to the list. Opening a message takes it away, marks it read and, when none is left
// shown, closes the popup. It never closes by itself. Native code calls
// popups.add_messages(records), which answers how many messages the popup holds.

var popups = {
    SHOWN: 3,
    held: [],
    ids: new Set(),      // a message the stream sends twice is held once
    records: new WeakMap(),
    list: null,
    more: null,
    count: null,
    template: null,
    placing: null,       // the window's placement under way
    moved: false,        // the document changed meanwhile: place once more after it
    placed_size: null,

    ready() {
        this.list = document.getElementById('PopupList');
        this.more = document.getElementById('PopupMore');
        this.count = document.getElementById('PopupCount');
        this.template = document.getElementById('MessageTemplate');
        this.template.remove();
        document.getElementById('PopupClose').addEventListener('click', () => quietly(view.dialog_close()));
        this.list.addEventListener('click', (event) => this.on_click(event));
        document.addEventListener('keydown', (event) => this.on_key(event));
    },

    async add_messages(records) {
        const fresh = [];
        for (const record of Array.isArray(records) ? records : []) {
            if (!record || typeof record !== 'object')
                continue;
            const id = message_html.text(record.id);
            if (id !== '') {
                if (this.ids.has(id))
                    continue;
                this.ids.add(id);
            }
            fresh.push(record);
        }
        this.held.push(...fresh);
        // Only the newest can be seen: each goes on top, the bottom one makes room.
        for (const record of fresh.slice(-this.SHOWN)) {
            if (this.list.children.length >= this.SHOWN)
                this.list.lastElementChild.remove();
            this.list.prepend(this.message(record));
        }
        return this.update();
    },

    message(record) {
        const element = message_html.element(this.template, record);
        // The popup shows no time: what it holds has just come.
        element.classList.add('popup__message');
        element.querySelector('.message__time').remove();
        this.records.set(element, record);
        return element;
    },

    open(element) {
        const record = this.records.get(element);
        const index = this.held.indexOf(record);
        if (index >= 0)
            this.held.splice(index, 1);
        element.remove();
        // The next one held comes up from below.
        if (this.held.length >= this.SHOWN && this.list.children.length < this.SHOWN)
            this.list.appendChild(this.message(this.held[this.held.length - this.SHOWN]));
        quietly(view.read_message(element.dataset.id || ''));
        if (this.list.firstElementChild === null) {
            quietly(view.dialog_close());
            return;
        }
        this.update().catch(process_error);
    },

    on_click(event) {
        if (!(event.target instanceof Element))
            return;
        const element = event.target.closest('.message');
        if (element && element.parentElement === this.list)
            this.open(element);
    },

    on_key(event) {
        if (event.key === 'Escape') {
            quietly(view.dialog_close());
            return;
        }
        if (event.key === 'Enter' && event.target instanceof Element && event.target.classList.contains('message')) {
            event.preventDefault();
            // A click, as the pointer gives it: the shell opens the link, the list opens it.
            event.target.click();
        }
    },

    // One placement at a time, and none that would change nothing: batches that come
    // close together do not pile up moves of the window behind one another.
    place() {
        this.moved = true;
        if (!this.placing) {
            this.placing = (async () => {
                try {
                    while (this.moved) {
                        this.moved = false;
                        const size = document_size();
                        if (this.placed_size && size.width === this.placed_size.width &&
                            size.height === this.placed_size.height)
                            continue;
                        this.placed_size = await resize_page();
                    }
                } finally {
                    this.placing = null;
                }
            })();
        }
        return this.placing;
    },

    // The count under the messages, the window at the corner, the page enabled.
    async update() {
        const rest = this.held.length - this.SHOWN;
        this.more.hidden = rest <= 0;
        if (rest > 0) {
            this.count.textContent = String(rest);
            this.more.setAttribute('count', count_form(rest));
        }
        await this.place();
        set_page_enabled(true);
        document.body.dataset.held = String(this.held.length);
        document.body.dataset.ready = 'true';
        return this.held.length;
    },
};

// The word after a count: "few" (1 уведомление, 21, 101), "medium" (2 to 4 уведомления,
// 22 to 24) and "lot" (5 to 20 уведомлений, and 11 to 14 of every hundred).
function count_form(count) {
    const tens = Math.floor((count % 100) / 10);
    const last = count % 10;
    if (tens === 1)
        return 'lot';
    if (last === 1)
        return 'few';
    if (last >= 2 && last <= 4)
        return 'medium';
    return 'lot';
}

document.addEventListener('DOMContentLoaded', () => {
    try {
        popups.ready();
    } catch (ex) {
        process_error(ex);
    }
});
