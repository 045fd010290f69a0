#include "lib/groups.h"

#include <gtest/gtest.h>
#include <string>

#include "support/process.h"

namespace vardo {
namespace {

// A group is private to root and one user only when the files show that nobody else has it, as
// primary group or as member; a group the files cannot vouch for is not.
TEST(Groups, PrivateOnlyWhenTheFilesShowNobodyElse) {
  test::TempDir dir;
  const std::string users = "root:x:0:0:root:/root:/bin/sh\n"
                            "ann:x:1000:1000:Ann:/home/ann:/bin/sh\n"
                            "bob:x:1001:100:Bob:/home/bob:/bin/sh\n";
  struct Case {
    std::string passwd, group;
    gid_t gid;
    uid_t uid;
    bool private_group;
    std::string gshadow = ""; // where it can be read: no line of the group
  } cases[] = {
      {users, "ann:x:1000:\n", 1000, 1000, true},         // a user private group
      {users, "ann:x:1000:ann,root\n", 1000, 1000, true}, // members that are ann and root
      {users, "ann:x:1000:bob\n", 1000, 1000, false},
      {users, "ann:x:1000:\nshare:x:1000:bob\n", 1000, 1000,
       false}, // a second line of the gid     // another member
      {users, "ann:x:1000:ann,bob\n", 1000, 1000, false}, // the second of two
      {users, "users:x:100:\n", 100, 1000, false},        // bob's primary group
      {users, "users:x:100:\n", 100, 1001, false},        // bob's alone, but meant to be shared
      {users, "root:x:0:\nann:x:1000:\n", 0, 1000, true}, // root's group
      {users + "sync:x:5:0::/:/bin/sync\n", "root:x:0:\n", 0, 0, true}, // a system account's too
      {users + "bob2:x:2001:0::/:/bin/bash\n", "root:x:0:\n", 0, 0, false}, // a login's
      {users + "toor:x:0:0::/:/bin/sh\n", "root:x:0:\n", 0, 0, true},       // root's second name
      {"toor:x:0:0::/:/bin/sh\n" + users, "root:x:0:\n", 0, 0, true},       // ... before root's
      {users + "operator:x:11:0::/root:/sbin/nologin\n", "root:x:0:\n", 0, 0, true},
      {users + "app:x:1001:0::/:/sbin/nologin\n", "root:x:0:\n", 0, 0, false},    // runs processes
      {users + "svc:x:990:0::/:/usr/sbin/nologin\n", "root:x:0:\n", 0, 0, false}, // a service
      {"# accounts\n" + users, "# groups\nann:x:1000:\n", 1000, 1000, true},      // comments
      {users, "", 0, 0, true},                       // root's group, unlisted
      {users, "root:x:0:bob\n", 0, 0, false},        // with another member
      {users, "other:x:1000:\n", 1000, 1000, false}, // not named after ann
      {users, "other:x:1000:\n", 1001, 1001, false}, // not listed: members unknown
      {users, "ann:x:1000:\n", 1000, 0, false},      // ann's group is not root's
      {users, "ann:x:1000:" + std::string(5000, 'a') + "\n", 1000, 1000, false}, // too long
      {users, "ann:x:1000\n", 1000, 1000, false},                                // no member field
      {users, "ann:x:1000:\n", 1000, 1000, true},
      {users + "x:y\n" + "carl:x:1002:1000:\n", "ann:x:1000:\n", 1000, 1000, false},
      {users, "", 1000, 1000, false},
      {"", "ann:x:1000:\n", 1000, 1000, false}, // whose name is not known
      // The shadow group file: another member or administrator, or a password to join with.
      {users, "ann:x:1000:\n", 1000, 1000, true, "ann:!::\nusers:!::bob\n"},
      {users, "ann:x:1000:\n", 1000, 1000, true, "ann:*:root:ann\n"},
      {users, "ann:x:1000:\n", 1000, 1000, false, "ann:!::bob\n"},
      {users, "ann:x:1000:\n", 1000, 1000, false, "ann:!:bob:\n"},
      {users, "ann:x:1000:\n", 1000, 1000, false, "ann:$6$salt$hash::\n"},
      {users, "ann:x:1000:\n", 1000, 1000, false, "ann:!:\n"},
      // A password in the group file itself, which newgrp takes where the shadow file is silent.
      {users, "ann:$6$salt$hash:1000:\n", 1000, 1000, false},
      {users, "ann:!:1000:\n", 1000, 1000, true},
      {users, "ann::1000:\n", 1000, 1000, true},
      // Ids the C library reads as numbers that are not plain digits.
      {users, "ann:x:1000:\nshare:x:+1000:bob\n", 1000, 1000, false},
      {users, "ann:x:1000:\nshare:x: 1000:bob\n", 1000, 1000, false},
      {users + "carl:x:1002:\t1000::/:/bin/sh\n", "ann:x:1000:\n", 1000, 1000, false},
      {users + "\n", "ann:x:1000:\n\n", 1000, 1000, true},                   // empty lines
      {users, std::string("\0zz\n", 4) + "ann:x:1000:\n", 1000, 1000, true}, // a NUL first
  };
  for (const Case &c : cases) {
    test::write_file(dir / "passwd", c.passwd);
    test::write_file(dir / "group", c.group);
    test::write_file(dir / "gshadow", c.gshadow);
    EXPECT_EQ(group_private_to(c.gid, c.uid, (dir / "passwd").c_str(), (dir / "group").c_str(),
                               (dir / "gshadow").c_str()),
              c.private_group)
        << c.group << " gid " << c.gid << " uid " << c.uid << " " << c.gshadow;
  }
  EXPECT_FALSE(group_private_to(1000, 1000, (dir / "missing").c_str(), (dir / "group").c_str()));
  EXPECT_TRUE(group_private_to(0, 0, (dir / "missing").c_str(), (dir / "missing").c_str()));
  test::write_file(dir / "group", "root:x:0:\n");
  EXPECT_TRUE(group_private_to(0, 0, (dir / "missing").c_str(), (dir / "group").c_str()));
  // A shadow file that cannot be read (by users other than root) cannot be seen.
  test::write_file(dir / "passwd", users);
  test::write_file(dir / "group", "ann:x:1000:\n");
  EXPECT_TRUE(group_private_to(1000, 1000, (dir / "passwd").c_str(), (dir / "group").c_str(),
                               (dir / "missing").c_str()));
}

} // namespace
} // namespace vardo
