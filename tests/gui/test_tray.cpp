// The tray icon as a tray host sees it: the item registered on the bus after sign-in, its
// title and icon, the menu's items, their order and check mark, clicks on them, and the
// item coming back by itself when the tray host restarts.
#include "shell_fixture.h"
#include "tray_host.h"

namespace agent::testing {
namespace {

using namespace varnelagent;

class TrayTest : public ShellTest {
protected:
    void SetUp() override {
        ShellTest::SetUp();
        host = std::make_unique<TrayHost>();
        host->start();
    }

    void TearDown() override {
        shell_.reset();
        host.reset();
        ShellTest::TearDown();
    }

    template <typename F>
    auto await(F function) {
        auto future = host->async(std::move(function));
        EXPECT_TRUE(pump_until([&] { return future.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }));
        return future.get();
    }

    TrayHost::Item wait_item(std::size_t registrations = 1) {
        EXPECT_TRUE(pump_until([&] { return host->registrations().size() >= registrations; }));
        auto items = host->registrations();
        return items.empty() ? TrayHost::Item{} : items.back();
    }

    std::vector<TrayHost::MenuItem> menu(const TrayHost::Item& item) {
        return await([&] { return host->menu(item); });
    }

    std::unique_ptr<TrayHost> host;
};

TEST_F(TrayTest, TheMenuReadsAndWorksAsATrayHostSeesIt) {
    write_config();
    remember_session();
    start();
    ASSERT_TRUE(wait_page(NOTIFICATIONS_PAGE));
    const TrayHost::Item item = wait_item();
    EXPECT_EQ(await([&] { return host->property(item, "Title"); }), "Варнел.Агент");
    EXPECT_EQ(await([&] { return host->property(item, "IconName"); }), "varnel-agent-tray");
    EXPECT_EQ(await([&] { return host->property(item, "Status"); }), "Active");

    const auto items = menu(item);
    std::vector<std::string> labels;
    for (const auto& entry : items)
        if (entry.visible)
            labels.push_back(entry.label);
    EXPECT_EQ(labels, (std::vector<std::string>{"Открыть Варнел.Агент", "Без уведомлений", "Сменить пользователя",
                                                "Инструкция", "Выйти"}));
    ASSERT_EQ(items.size(), 5u);
    EXPECT_EQ(items[1].toggle_type, "checkmark");
    EXPECT_EQ(items[1].toggle_state, 0);

    // Silent mode from the tray: the setting and the check mark follow.
    await([&] { host->click(item, items[1].id); });
    ASSERT_TRUE(pump_until([&] { return shell_->client().configuration()->silent_mode; }));
    EXPECT_TRUE(pump_until([&] { return menu(item)[1].toggle_state == 1; }, std::chrono::seconds(5)));

    // Messages waiting while hidden: the icon and title say so.
    post_close(shell_->handle());
    ASSERT_TRUE(pump_until([&] { return !shell_->window().visible(); }));
    sandbox::Message message;
    message.subject = "Уведомление о вызове";
    server().push_message(message);
    server().push_message(message);
    EXPECT_TRUE(pump_until(
        [&] { return await([&] { return host->property(item, "Title"); }) == "Варнел.Агент — 2 новых уведомления"; }));
    EXPECT_EQ(await([&] { return host->property(item, "IconName"); }), "varnel-agent-tray-unread");

    // Open from the menu shows the window; Exit ends the program.
    await([&] { host->click(item, items[0].id); });
    EXPECT_TRUE(pump_until([&] { return shell_->window().visible(); }));
    await([&] { host->click(item, items[4].id); });
    EXPECT_TRUE(pump_until([&] { return ended_; }));
}

TEST_F(TrayTest, TheItemComesBackWhenTheTrayHostRestarts) {
    write_config();
    remember_session();
    start();
    ASSERT_TRUE(wait_page(NOTIFICATIONS_PAGE));
    wait_item(1);
    host->stop();
    pump_for(std::chrono::milliseconds(300));
    host->start();
    const TrayHost::Item again = wait_item(2);
    EXPECT_EQ(menu(again).size(), 5u);

    // Signing out takes the icon away; signing in brings it back.
    command(ID_CHANGE_USER);
    ASSERT_TRUE(wait_page(AUTH_PAGE));
    EXPECT_FALSE(shell_->tray().shown());
}

}  // namespace
}  // namespace agent::testing
