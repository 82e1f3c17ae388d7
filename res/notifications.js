'use strict';
// The notifications page: the user's messages newest first, grouped under date lines, older
// ones in batches of 30 as the user asks ("Показать еще"), new ones from the stream at the
// top. An unread message (message__new) becomes read when the user opens it. Native code
// calls notifications.add_new_messages(records) and notifications.read_message(id).

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

    loading: null,       // the running load's Promise, while one runs
    finish_load: null,
    completed: false,    // no older messages remain: "Показать еще" is gone for good
    offline: false,      // the no-connection picture is shown
    ids: new Set(),      // a message the stream brought and a batch brings again shows once
    last_scroll: 0,
    quiet_top: null,     // a scroll position the page moved to itself

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
        this.wrapper.addEventListener('scroll', () => this.on_scroll());
        // Sinking: seen before anything inside the message, and the click goes on to the link.
        this.list.addEventListener('mousedown', (event) => this.on_mouse_down(event), true);
        this.list.addEventListener('keydown', (event) => this.on_key(event));
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
        view.get_messages((success, completed) => this.end(success, completed), (records) => this.items(records))
            .catch((ex) => {
                console.error(error_text(ex));
                this.end(false, true);
            });
        return this.loading;
    },

    // Older messages, in order, at the end of the list.
    items(records) {
        if (!Array.isArray(records))
            return;
        for (const record of records) {
            if (!this.take(record))
                continue;
            const date = message_html.text(record.date);
            if (this.date_of(this.list.lastElementChild) !== date)
                this.list.appendChild(this.date_line(date));
            this.list.appendChild(this.message(record));
        }
    },

    end(success, completed) {
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
        this.put_more();
        this.update_fixed_date();
        document.body.dataset.ready = 'true';
        done({ success: success === true, rows: this.list.querySelectorAll('.message').length });
    },

    // The link to older messages goes at the end while any remain (not under the picture).
    put_more() {
        if (!this.completed && !this.loading && !this.offline)
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
        // A user reading further down keeps his place; the logo says that news came.
        const top = this.wrapper.scrollTop;
        if (top > 0)
            this.quiet_scroll(top + this.wrapper.scrollHeight - before);
        this.update_fixed_date();
    },

    // The popup opened the message: it is read.
    read_message(id) {
        for (const element of this.list.querySelectorAll('.message.message__new'))
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
        element.classList.remove('message__new');
        quietly(view.read_message(element.dataset.id || ''));
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
    },

    // The fixed date line names the day of what is 40 pixels from the top; at the very top
    // the list's own first date line is in sight and the fixed one stands back.
    update_fixed_date() {
        const first = this.list.firstElementChild;
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

document.addEventListener('DOMContentLoaded', () => {
    notifications.ready().catch(process_error);
});
