// Drives the bridge from inside a page for the engine tests.
var received = { items: [], ends: [] };

var tests = {
    call_native: async function (name, args) {
        try {
            return { value: await view[name](...args) };
        } catch (error) {
            return { error: String(error && error.message ? error.message : error) };
        }
    },
    start_items: function () {
        return view.get_items((ok, completed) => received.ends.push([ok, completed]),
                              (items) => received.items.push(items));
    },
    received: function () { return received; },
    delayed: function (value, ms) {
        return new Promise((resolve) => setTimeout(() => resolve(value), ms));
    },
    thrower: function () { throw new Error('script failure'); },
    click: function (id) { document.getElementById(id).click(); return true; },
    location: function () { return String(window.location.href); },
    title: function () { return document.title; },
    style_loaded: function () {
        return getComputedStyle(document.querySelector('.card')).borderTopLeftRadius === '8px';
    },
    show_message: function (html) {
        document.getElementById('messages').innerHTML = html;
        return true;
    },
    pwned: function () { return window.pwned === undefined ? null : window.pwned; },
    violations: function () { return window.violations || 0; },
    modal: function () { return view.modal(); },
    center: function (id) {
        const box = document.getElementById(id).getBoundingClientRect();
        return [Math.round(box.left + box.width / 2), Math.round(box.top + box.height / 2)];
    },
};

var popups = {
    add_messages: function (list) {
        return { count: list.length, last: list[list.length - 1].title, description: list[0].description };
    },
};

window.addEventListener('securitypolicyviolation', () => { window.violations = (window.violations || 0) + 1; });
