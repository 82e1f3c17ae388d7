'use strict';
var notifications = {
    add_new_messages(list) {
        const content = document.getElementById('content');
        for (const message of list) {
            const row = document.createElement('div');
            row.className = 'message';
            row.dataset.id = message.id;
            row.textContent = message.title;
            content.prepend(row);
        }
    },
    read_message(id) {},
};
document.addEventListener('DOMContentLoaded', () => resize_page());
