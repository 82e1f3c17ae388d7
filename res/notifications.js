'use strict';
// The notifications page: the user's messages newest first, grouped under date lines, older
// ones in batches of 30 as the user asks ("Показать еще"), new ones from the stream at the
// top. An unread message (message__new) becomes read when the user opens it. Native code
// calls notifications.add_new_messages(records) and notifications.read_message(id).
// The list opens from the archive at once and follows the server once it answers; without
// an answer a line says it may be out of date. The search field (Ctrl+F, Esc clears it)
// shows what the archive finds in place of the list, the words found marked.

var notifications = {
    wrapper: null,
    content: null,
    list: null,
    more: null,
    loading_state: null,
    no_connection: null,
    fixed_date: null,
    message_template: null,
    date_template: null,
    search_field: null,
    results: null,
    no_results: null,
    stale: null,

    loading: null,       // the running load's Promise, while one runs
    finish_load: null,
    completed: false,    // no older messages remain: "Показать еще" is gone for good
    offline: false,      // the no-connection picture is shown
    ids: new Set(),      // a message the stream brought and a batch brings again shows once
    last_scroll: 0,
    quiet_top: null,     // a scroll position the page moved to itself
    query: '',           // what the shown results were found for; '' while the list shows
    search_serial: 0,    // the latest search asked for: an older answer is dropped
    search_timer: null,
    list_scroll: 0,      // where the list was when a search took its place
    place_timer: null,

    async ready() {
        this.wrapper = document.getElementById('MainContentWrapper');
        this.content = this.wrapper.querySelector('.content');
        this.list = document.getElementById('List');
        this.more = document.getElementById('More');
        this.loading_state = document.getElementById('Loading');
        this.no_connection = document.getElementById('NoConnection');
        this.fixed_date = document.getElementById('FixedDate');
        this.message_template = document.getElementById('MessageTemplate');
        this.date_template = document.getElementById('DateTemplate');
        this.search_field = document.getElementById('SearchField');
        this.results = document.getElementById('Results');
        this.no_results = document.getElementById('NoResults');
        this.stale = document.getElementById('Stale');
        this.message_template.remove();
        this.date_template.remove();

        await add_narrow();
        global_ready();
        await resize_page();

        // The logo marks the page the user is on: no link, but it takes the user to the top.
        const logo = document.getElementById('HeaderLogo');
        logo.removeAttribute('href');
        logo.setAttribute('role', 'button');
        logo.setAttribute('tabindex', '0');
        logo.addEventListener('click', () => this.on_logo());
        logo.addEventListener('keydown', (event) => {
            if (event.key === 'Enter' || event.key === ' ') {
                event.preventDefault();
                this.on_logo();
            }
        });

        document.getElementById('MoreLink').addEventListener('click', () => this.load());
        document.getElementById('NoConnectionButton').addEventListener('click', () => this.load());
        document.getElementById('StaleRetry').addEventListener('click', () => this.load());
        this.wrapper.addEventListener('scroll', () => this.on_scroll());
        // Sinking: seen before anything inside the message, and the click goes on to the link.
        for (const list of [this.list, this.results]) {
            list.addEventListener('mousedown', (event) => this.on_mouse_down(event), true);
            list.addEventListener('keydown', (event) => this.on_key(event));
        }
        this.search_field.addEventListener('input', () => this.schedule_search());
        this.search_field.addEventListener('keydown', (event) => {
            if (event.key === 'Escape') {
                event.preventDefault();
                this.clear_search();
            } else if (event.key === 'Enter') {
                event.preventDefault();
                this.search_now();
            }
        });
        document.addEventListener('keydown', (event) => {
            if ((event.ctrlKey || event.metaKey) && !event.altKey && (event.code === 'KeyF' || event.key === 'f' || event.key === 'F')) {
                event.preventDefault();
                this.wrapper.scrollTo({ top: 0, behavior: 'instant' });
                this.search_field.focus();
                this.search_field.select();
            }
        });
        this.load();
    },

    is_empty() {
        return this.list.firstElementChild === null;
    },

    // Asks for the next older batch; the Promise settles when it is in the list (or failed).
    load() {
        if (this.loading)
            return this.loading;
        this.loading = new Promise((resolve) => {
            this.finish_load = resolve;
        });
        set_page_enabled(false);
        this.list.setAttribute('aria-busy', 'true');
        this.more.remove();
        this.no_connection.hidden = true;
        this.loading_state.hidden = !this.is_empty();
        view.get_messages((success, completed, stale) => this.end(success, completed, stale),
                          (records, options) => this.items(records, options))
            .catch((ex) => {
                console.error(error_text(ex));
                this.end(false, true);
            });
        return this.loading;
    },

    // Older messages, in order, at the end of the list; with options.replace the list anew
    // (the archive's rows, then the server's), where options.scroll_top says, else where
    // the user is.
    items(records, options) {
        if (!Array.isArray(records))
            return;
        const replace = options !== null && typeof options === 'object' && options.replace === true;
        let top = this.query === '' ? this.wrapper.scrollTop : this.list_scroll;
        if (replace) {
            this.list.replaceChildren();
            this.ids.clear();
            if (typeof options.scroll_top === 'number')
                top = options.scroll_top;
        }
        this.append(records);
        if (replace) {
            if (this.query === '')
                this.quiet_scroll(top);
            else
                this.list_scroll = top;
        }
        // Rows to read while the server is asked: the page is the user's already.
        if (this.loading && !this.is_empty()) {
            set_page_enabled(true);
            this.loading_state.hidden = true;
        }
        this.update_fixed_date();
        this.keep_place();
    },

    append(records) {
        for (const record of records) {
            if (!this.take(record))
                continue;
            const date = message_html.text(record.date);
            if (this.date_of(this.list.lastElementChild) !== date)
                this.list.appendChild(this.date_line(date));
            this.list.appendChild(this.message(record));
        }
    },

    end(success, completed, stale) {
        if (!this.loading)
            return;
        const done = this.finish_load;
        this.loading = null;
        this.finish_load = null;
        set_page_enabled(true);
        this.list.setAttribute('aria-busy', 'false');
        this.loading_state.hidden = true;
        if (success) {
            this.set_offline(false);
            if (completed)
                this.completed = true;
        } else if (this.is_empty()) {
            this.set_offline(true);
        }
        // The archive's rows without the server's word: perhaps not all there is.
        this.stale.hidden = !(stale === true && !this.is_empty());
        this.put_more();
        this.update_fixed_date();
        document.body.dataset.ready = 'true';
        this.keep_place();
        done({ success: success === true, rows: this.list.querySelectorAll('.message').length });
    },

    // Tells native code where the list is, so that it opens there when made anew.
    keep_place() {
        if (this.place_timer !== null)
            clearTimeout(this.place_timer);
        this.place_timer = setTimeout(() => {
            this.place_timer = null;
            const top = this.query === '' ? this.wrapper.scrollTop : this.list_scroll;
            quietly(view.list_place(this.list.querySelectorAll('.message').length, Math.round(top)));
        }, 200);
    },

    schedule_search() {
        if (this.search_timer !== null)
            clearTimeout(this.search_timer);
        this.search_timer = setTimeout(() => this.search_now(), 80);
    },

    // What the field holds is looked for in the archive; an empty field brings the list back.
    search_now() {
        if (this.search_timer !== null) {
            clearTimeout(this.search_timer);
            this.search_timer = null;
        }
        const query = this.search_field.value.trim();
        const serial = ++this.search_serial;
        if (query === '') {
            this.show_list();
            return Promise.resolve(0);
        }
        return view.search_messages(query).then((records) => {
            if (serial !== this.search_serial)
                return -1;
            this.show_results(Array.isArray(records) ? records : [], query);
            return this.results.querySelectorAll('.message').length;
        }).catch((ex) => {
            console.error(error_text(ex));
            return -1;
        });
    },

    clear_search() {
        this.search_field.value = '';
        this.search_now();
    },

    show_results(records, query) {
        if (this.query === '')
            this.list_scroll = this.wrapper.scrollTop;
        this.query = query;
        const words = search_words(query);
        this.results.replaceChildren();
        for (const record of records) {
            const date = message_html.text(record.date);
            if (this.date_of(this.results.lastElementChild) !== date)
                this.results.appendChild(this.date_line(date));
            const element = this.message(record);
            for (const part of element.querySelectorAll('.message__title, .message__description, .message__receiver'))
                mark_words(part, words);
            this.results.appendChild(element);
        }
        this.list.hidden = true;
        this.results.hidden = false;
        this.no_results.hidden = records.length > 0;
        this.no_connection.hidden = true;
        this.more.remove();
        this.fixed_date.hidden = true;
        document.body.classList.add('searching');
        this.quiet_scroll(0);
    },

    show_list() {
        if (this.query === '')
            return;
        this.query = '';
        this.results.replaceChildren();
        this.results.hidden = true;
        this.no_results.hidden = true;
        this.list.hidden = false;
        this.no_connection.hidden = !this.offline;
        document.body.classList.remove('searching');
        this.put_more();
        this.quiet_scroll(this.list_scroll);
        this.update_fixed_date();
    },

    // The link to older messages goes at the end while any remain (not under the picture).
    put_more() {
        if (!this.completed && !this.loading && !this.offline && this.query === '')
            this.content.appendChild(this.more);
    },

    set_offline(offline) {
        this.offline = offline;
        this.no_connection.hidden = !offline;
        document.body.classList.toggle('offline', offline);
    },

    // New messages from the stream, oldest first: each goes to the top, under the first date
    // line when it is of the same date, else under a new one.
    add_new_messages(records) {
        if (!Array.isArray(records))
            return;
        const before = this.wrapper.scrollHeight;
        for (const record of records) {
            if (!this.take(record))
                continue;
            const date = message_html.text(record.date);
            let line = this.list.firstElementChild;
            if (!line || !line.classList.contains('date-line') || line.textContent !== date) {
                line = this.date_line(date);
                this.list.prepend(line);
            }
            const element = this.message(record);
            element.classList.add('fade-in');
            line.after(element);
        }
        if (!this.is_empty()) {
            this.loading_state.hidden = true;
            if (this.offline)
                this.set_offline(false);
            this.put_more();
        }
        // The stream speaks: the server is there again.
        this.stale.hidden = true;
        if (this.query !== '')
            return;
        // A user reading further down keeps his place; the logo says that news came.
        const top = this.wrapper.scrollTop;
        if (top > 0)
            this.quiet_scroll(top + this.wrapper.scrollHeight - before);
        this.update_fixed_date();
        this.keep_place();
    },

    // The popup opened the message: it is read.
    read_message(id) {
        for (const element of document.querySelectorAll('.notifications__list .message.message__new'))
            if (element.dataset.id === id)
                element.classList.remove('message__new');
    },

    take(record) {
        if (!record || typeof record !== 'object')
            return false;
        const id = typeof record.id === 'string' ? record.id : '';
        if (id === '')
            return true;
        if (this.ids.has(id))
            return false;
        this.ids.add(id);
        return true;
    },

    message(record) {
        const element = message_html.element(this.message_template, record);
        element.setAttribute('date', message_html.text(record.date));
        const time = element.querySelector('.message__time');
        time.textContent = message_html.text(record.time);
        // A body in the list may be copied from.
        element.querySelector('.message__description').classList.add('selectable');
        if (record.new === true)
            element.classList.add('message__new');
        return element;
    },

    date_line(date) {
        const line = this.date_template.content.firstElementChild.cloneNode(true);
        line.textContent = message_html.text(date);
        return line;
    },

    // The date an element of the list stands for: a date line's text, a message's date.
    date_of(element) {
        if (!element)
            return null;
        if (element.classList.contains('date-line'))
            return element.textContent;
        const message = element.closest('.message');
        return message ? message.getAttribute('date') : null;
    },

    open(element) {
        if (!element.classList.contains('message__new'))
            return;
        const id = element.dataset.id || '';
        element.classList.remove('message__new');
        // Found by a search, it is read in the list too.
        if (id !== '')
            this.read_message(id);
        quietly(view.read_message(id));
    },

    on_mouse_down(event) {
        if (event.button !== 0 || !(event.target instanceof Element))
            return;
        const element = event.target.closest('.message');
        if (element)
            this.open(element);
    },

    on_key(event) {
        if (event.key !== 'Enter' || !(event.target instanceof Element) || !event.target.classList.contains('message'))
            return;
        event.preventDefault();
        this.open(event.target);
        if (event.target.hasAttribute('href'))
            event.target.click();
    },

    on_logo() {
        if (this.offline) {
            this.load();
            return;
        }
        this.wrapper.scrollTo({ top: 0, behavior: 'smooth' });
        stop_alert_new_message();
    },

    // The element under the point `y` pixels below the top of the list's window, 100 from
    // its left.
    element_at(y) {
        const box = this.wrapper.getBoundingClientRect();
        const element = document.elementFromPoint(box.left + 100, box.top + y);
        return element && this.wrapper.contains(element) ? element : null;
    },

    date_line_at(y) {
        const element = this.element_at(y);
        return element !== null && element.classList.contains('date-line');
    },

    // Moves the list without the move counting as the user's scrolling.
    quiet_scroll(top) {
        const limit = this.wrapper.scrollHeight - this.wrapper.clientHeight;
        this.quiet_top = Math.max(0, Math.min(Math.round(top), limit));
        this.wrapper.scrollTo({ top: this.quiet_top, behavior: 'instant' });
        if (this.wrapper.scrollTop !== this.quiet_top)
            this.quiet_top = null;
        this.last_scroll = this.wrapper.scrollTop;
    },

    // Scrolling stops the logo's alert and steps over date lines, so that a date line never
    // rests half under the fixed one.
    on_scroll() {
        const top = this.wrapper.scrollTop;
        if (this.quiet_top !== null && top === this.quiet_top) {
            this.quiet_top = null;
            this.last_scroll = top;
            this.update_fixed_date();
            return;
        }
        this.quiet_top = null;
        stop_alert_new_message();
        const down = top > this.last_scroll;
        const up = top < this.last_scroll;
        this.last_scroll = top;
        if (down) {
            if (this.date_line_at(160))
                this.quiet_scroll(top + 80);
            else if (this.date_line_at(80))
                this.quiet_scroll(top + 25);
        } else if (up && this.date_line_at(80)) {
            this.quiet_scroll(top - 100);
        }
        this.update_fixed_date();
        if (this.query === '')
            this.keep_place();
    },

    // The fixed date line names the day of what is 40 pixels from the top; at the very top
    // the list's own first date line is in sight and the fixed one stands back.
    update_fixed_date() {
        const first = this.list.firstElementChild;
        if (this.query !== '') {
            this.fixed_date.hidden = true;
            return;
        }
        if (!first || this.wrapper.scrollTop <= first.offsetTop) {
            this.fixed_date.hidden = true;
            return;
        }
        const date = this.date_of(this.element_at(40));
        if (date !== null && date !== '')
            this.fixed_date.textContent = date;
        this.fixed_date.hidden = this.fixed_date.textContent === '';
    },
};

// The words of a search as the archive takes them: lower case, "ё" as "е".
function fold_text(text) {
    return text.toLowerCase().replace(/ё/g, 'е');
}

function search_words(query) {
    return fold_text(query).split(/[^0-9a-zа-я\u00c0-\u024f\u0400-\u04ff]+/u).filter((word) => word !== '');
}

// Marks, in the element's text, each word that begins with one of `words`.
function mark_words(element, words) {
    if (words.length === 0)
        return;
    const walker = document.createTreeWalker(element, NodeFilter.SHOW_TEXT);
    const nodes = [];
    while (walker.nextNode())
        nodes.push(walker.currentNode);
    const letter = /[0-9a-zа-яё\u00c0-\u024f\u0400-\u04ff]/iu;
    for (const node of nodes) {
        const text = node.nodeValue;
        const folded = fold_text(text);
        const pieces = [];
        let last = 0;
        let i = 0;
        while (i < text.length) {
            const starts = letter.test(text[i]) && (i === 0 || !letter.test(text[i - 1]));
            const word = starts ? words.find((w) => folded.startsWith(w, i)) : undefined;
            if (word === undefined) {
                ++i;
                continue;
            }
            pieces.push(text.slice(last, i));
            pieces.push({ found: text.slice(i, i + word.length) });
            i += word.length;
            last = i;
        }
        if (pieces.length === 0)
            continue;
        pieces.push(text.slice(last));
        const fragment = document.createDocumentFragment();
        for (const piece of pieces) {
            if (typeof piece === 'string') {
                if (piece !== '')
                    fragment.appendChild(document.createTextNode(piece));
            } else {
                const mark = document.createElement('mark');
                mark.className = 'found';
                mark.textContent = piece.found;
                fragment.appendChild(mark);
            }
        }
        node.replaceWith(fragment);
    }
}

document.addEventListener('DOMContentLoaded', () => {
    notifications.ready().catch(process_error);
});
