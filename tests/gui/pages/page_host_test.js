// Drives the page host from inside a page: images, links, view calls, the unload answer.
'use strict';
var unload_answer = undefined;

var host = {
    call: async function (name, args) {
        try {
            return { value: await view[name](...args) };
        } catch (error) {
            return { error: String(error && error.message ? error.message : error) };
        }
    },
    show_image: function (src) {
        return new Promise((resolve) => {
            const image = new Image();
            image.onload = () => resolve({ loaded: true, width: image.naturalWidth });
            image.onerror = () => resolve({ loaded: false, width: 0 });
            image.src = src;
            document.getElementById('images').appendChild(image);
        });
    },
    start_image: function (src) {
        const image = new Image();
        image.id = 'pending';
        image.src = src;
        document.getElementById('images').appendChild(image);
        return true;
    },
    pending_done: function () {
        const image = document.getElementById('pending');
        return image !== null && image.complete;
    },
    click_link: function (href, auth) {
        const link = document.createElement('a');
        link.setAttribute('href', href);
        if (auth !== null)
            link.setAttribute('auth', auth);
        link.textContent = href;
        document.getElementById('links').appendChild(link);
        link.click();
        return true;
    },
    set_unload_answer: function (value) { unload_answer = value; return true; },
};

function on_unload_page() {
    return unload_answer;
}
