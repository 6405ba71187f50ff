// Expiration-times table: loaded once from the site's rules file, then read
// by every lookup.
#include "quorex_expire.h"

#include <ctype.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>

#include "quor_api.h"
#include "quorcfgx_stanza.h"

namespace {

const char kInit[] = "quorex_ExpireInitTable";

expireTime_t* expireTable = nullptr;
int expireCount = 0;
EXPIRE_TYPE* precedenceList = nullptr;
int precedenceCount = 0;

void clear_table() {
  free(expireTable);
  expireTable = nullptr;
  expireCount = 0;
}

void clear_precedence() {
  free(precedenceList);
  precedenceList = nullptr;
  precedenceCount = 0;
}

struct TypeName {
  const char* name;
  EXPIRE_TYPE type;
};
const TypeName kPrecedenceNames[] = {
    {"Family ID", EXP_BY_FAMILY}, {"COS ID", EXP_BY_COS},   {"Subsystem ID", EXP_BY_SUBSYS},
    {"User ID", EXP_BY_UID},      {"Group ID", EXP_BY_GID}, {"Account ID", EXP_BY_ACCTID},
};

// The sections of rules in the order the table keeps them.
struct Section {
  const char* key;
  EXPIRE_TYPE type;
  const char* entryForm;  // the key's name in the format message
  const char* idName;     // the kind of name in the conversion message
};
const Section kSections[] = {
    {"ExpirationByFamilyId", EXP_BY_FAMILY, "familyId", nullptr},
    {"ExpirationByCosId", EXP_BY_COS, "cosId", nullptr},
    {"ExpirationBySubsystemId", EXP_BY_SUBSYS, "subsysId", nullptr},
    {"ExpirationByUserId", EXP_BY_UID, "userId", "UID"},
    {"ExpirationByGroupId", EXP_BY_GID, "groupId", "GID"},
    {"ExpirationByAccountId", EXP_BY_ACCTID, "accountId", "Account ID"},
};

// A section that is present must be a block with entries: 0, or -1 with
// the message.
int checkConfigHeadEntry(const quor_cfg_stanza_t* e, const char* path) {
  if (e->type != CFG_COMPOUND_TYPE) {
    fprintf(stderr, "*** %s: Warning-not a compound stanza type: %s line %d\n",
            "checkConfigHeadEntry", path, int(e->LineNum));
    return -1;
  }
  if (e->substanzaList == nullptr) {
    fprintf(stderr, "*** %s: Warning-empty substanza list for %s: %s line %d\n",
            "checkConfigHeadEntry", e->KeyString, path, int(e->LineNum));
    return -1;
  }
  return 0;
}

// Time units, either case; m is minutes (there is no month).
const struct {
  char letter;
  int64_t seconds;
} kUnits[] = {{'y', 31536000}, {'d', 86400}, {'h', 3600}, {'m', 60}, {'s', 1}};

// The unit of a term, in seconds; 0 for a letter that is none.
int64_t unit_seconds(char c) {
  for (const auto& u : kUnits)
    if (tolower(static_cast<unsigned char>(c)) == u.letter) return u.seconds;
  return 0;
}

// Terms such as "1y 2d -3h": 0 with their sum, -1 without any term, -2 for
// a term that is malformed or whose product leaves 32 signed bits, or a sum
// that leaves 64.
int parseTimeValue(const char* text, int64_t* total) {
  *total = 0;
  int terms = 0;
  const char* p = text;
  for (;;) {
    while (*p == ' ' || *p == '\t') p++;
    if (!*p) break;
    int sign = 1;
    if (*p == '+' || *p == '-') sign = *p++ == '-' ? -1 : 1;
    if (!isdigit(static_cast<unsigned char>(*p))) return -2;
    int64_t value = 0;
    while (isdigit(static_cast<unsigned char>(*p))) {
      value = value * 10 + (*p++ - '0');
      if (value > INT32_MAX + int64_t(1)) return -2;
    }
    int64_t unit = unit_seconds(*p);
    if (unit == 0) return -2;
    p++;
    while (isalpha(static_cast<unsigned char>(*p))) p++;
    if (*p && *p != ' ' && *p != '\t') return -2;
    int64_t product = sign * value * unit;
    if (product > INT32_MAX || product < INT32_MIN) return -2;
    if (__builtin_add_overflow(*total, product, total)) return -2;
    terms++;
  }
  return terms ? 0 : -1;
}

// A family, COS or subsystem id: the number the key begins with (after
// blanks), 0 when it begins with none. -1 for a negative number or one
// beyond 32 bits, which must not wrap into another id.
int small_id(const char* key, uint64_t* id) {
  const char* p = key;
  while (isspace(static_cast<unsigned char>(*p))) p++;
  if (*p == '+') p++;
  else if (*p == '-' && isdigit(static_cast<unsigned char>(p[1]))) return -1;
  uint64_t v = 0;
  for (; isdigit(static_cast<unsigned char>(*p)); p++) {
    v = v * 10 + uint64_t(*p - '0');
    if (v > UINT32_MAX) return -1;
  }
  *id = v;
  return 0;
}

// Decimal digits only: the number itself. 0, or -1 for anything else.
int decimal_id(const char* key, uint64_t* id) {
  if (!*key) return -1;
  for (const char* p = key; *p; p++)
    if (!isdigit(static_cast<unsigned char>(*p))) return -1;
  errno = 0;
  unsigned long long v = strtoull(key, nullptr, 10);
  if (errno == ERANGE) return -1;
  *id = v;
  return 0;
}

// A user, group or account key: its number, or the gateway's id for the
// name. 0, or -1. A name too long for its field is not cut: a cut name could
// be another user's.
int convert_name(EXPIRE_TYPE type, const char* key, uint64_t* id) {
  if (decimal_id(key, id) == 0) return 0;
  if (type == EXP_BY_ACCTID) {
    acct_rec_t code = 0;
    if (quor_AcctNameToCode(key, nullptr, &code) < 0) return -1;
    *id = code;
    return 0;
  }
  api_namespec_t item;
  memset(&item, 0, sizeof item);
  if (strlen(key) >= sizeof item.Name) return -1;
  item.Type = type == EXP_BY_UID ? NS_NAMESPEC_USER : NS_NAMESPEC_GROUP;
  strcpy(item.Name, key);
  if (quor_ConvertNamesToIds(1, &item) != 0) return -1;
  *id = item.Id;
  return 0;
}

void set_entry(expireTime_t* e, EXPIRE_TYPE type, uint64_t id, uint64_t seconds) {
  memset(e, 0, sizeof *e);
  e->expireType = type;
  switch (type) {
    case EXP_BY_FAMILY:
      e->expEnt_u.family = {uint32_t(id), seconds};
      break;
    case EXP_BY_COS:
      e->expEnt_u.cos = {uint32_t(id), seconds};
      break;
    case EXP_BY_SUBSYS:
      e->expEnt_u.subsys = {uint32_t(id), seconds};
      break;
    case EXP_BY_UID:
      e->expEnt_u.user = {id, seconds};
      break;
    case EXP_BY_GID:
      e->expEnt_u.group = {id, seconds};
      break;
    case EXP_BY_ACCTID:
      e->expEnt_u.account = {id, seconds};
      break;
  }
}

// 0, or -12 with the message when the table cannot grow.
int addExpireEntry(EXPIRE_TYPE type, uint64_t id, uint64_t seconds, const quor_cfg_stanza_t* s,
                   const char* path) {
  expireTime_t* grown = static_cast<expireTime_t*>(
      realloc(expireTable, size_t(expireCount + 1) * sizeof(expireTime_t)));
  if (!grown) {
    fprintf(stderr, "*** %s: malloc error for table entry %d (%s = %s) file %s,line %d\n",
            "addExpireEntry", expireCount, s->KeyString, s->KeyValue, path, int(s->LineNum));
    return -12;
  }
  expireTable = grown;
  set_entry(&expireTable[expireCount++], type, id, seconds);
  return 0;
}

int load_precedence(const quor_cfg_stanza_t* head, const char* path) {
  const quor_cfg_stanza_t* sec =
      quor_CfgFindKey("ExpirePrecedence", const_cast<quor_cfg_stanza_t*>(head), 1);
  if (!sec) return 0;
  if (checkConfigHeadEntry(sec, path) < 0) return -1;
  for (const quor_cfg_stanza_t* e = sec->substanzaList; e; e = e->next) {
    if (e->type != CFG_FLAG_TYPE) {
      fprintf(stderr,
              "*** %s: Error- format error - not a simple flag value such as\"COS ID\" (%s line "
              "%d) -ignored\n",
              kInit, path, int(e->LineNum));
      continue;
    }
    const TypeName* t = nullptr;
    for (const TypeName& n : kPrecedenceNames)
      if (strcasecmp(n.name, e->KeyString) == 0) t = &n;
    if (!t) {
      fprintf(stderr,
              "*** %s: Error- format error - unrecognized precedence entry type [%s] (%s line "
              "%d) -ignored\n",
              kInit, e->KeyString, path, int(e->LineNum));
      continue;
    }
    EXPIRE_TYPE* grown = static_cast<EXPIRE_TYPE*>(
        realloc(precedenceList, size_t(precedenceCount + 1) * sizeof(EXPIRE_TYPE)));
    if (!grown) {
      fprintf(stderr,
              "*** %s: malloc error adding precedence entry[%d] '%s' - failed to initialize "
              "expiration list\n",
              kInit, precedenceCount, e->KeyString);
      return -1;
    }
    precedenceList = grown;
    precedenceList[precedenceCount++] = t->type;
  }
  return 0;
}

int load_section(const quor_cfg_stanza_t* head, const Section& sec, const char* path) {
  const quor_cfg_stanza_t* s = quor_CfgFindKey(sec.key, const_cast<quor_cfg_stanza_t*>(head), 1);
  if (!s) return 0;
  if (checkConfigHeadEntry(s, path) < 0) return -1;
  for (const quor_cfg_stanza_t* e = s->substanzaList; e; e = e->next) {
    if (e->type != CFG_SIMPLE_TYPE || !e->KeyValue) {
      fprintf(stderr,
              "*** %s: Error- format error - not \"%s = expireString\" (%s line %d) -ignored\n",
              kInit, sec.entryForm, path, int(e->LineNum));
      continue;
    }
    uint64_t id = 0;
    if (sec.idName) {
      if (convert_name(sec.type, e->KeyString, &id) < 0) {
        fprintf(stderr, "*** %s: Unable to convert %s string '%s' (ignored): %s line %d\n", kInit,
                sec.idName, e->KeyString, path, int(e->LineNum));
        continue;
      }
    } else if (small_id(e->KeyString, &id) < 0) {
      fprintf(stderr, "*** %s: Error- format error - id out of range '%s' (%s line %d) -ignored\n",
              kInit, e->KeyString, path, int(e->LineNum));
      continue;
    }
    int64_t seconds = 0;
    int rc = parseTimeValue(e->KeyValue, &seconds);
    if (rc == -1) {
      fprintf(
          stderr,
          "*** %s: Error- format error on expiration time - no time value(s): %s (%s,line %d)\n",
          "parseTimeValue", e->KeyValue, path, int(e->LineNum));
      continue;
    }
    if (rc < 0) {
      fprintf(stderr, "*** %s: Error- format error on expiration time string: %s (%s,line %d)\n",
              "parseTimeValue", e->KeyValue, path, int(e->LineNum));
      continue;
    }
    if (addExpireEntry(sec.type, id, uint64_t(seconds), e, path) < 0) return -12;
  }
  return 0;
}

// The attribute of the file that rules of this type compare with.
uint64_t attr_of(const quor_Attrs_t* a, EXPIRE_TYPE type) {
  switch (type) {
    case EXP_BY_FAMILY:
      return a->FamilyId;
    case EXP_BY_COS:
      return a->COSId;
    case EXP_BY_SUBSYS:
      return a->SubSystemId;
    case EXP_BY_UID:
      return a->UID;
    case EXP_BY_GID:
      return a->GID;
    case EXP_BY_ACCTID:
      return a->Account;
  }
  return 0;
}

void entry_values(const expireTime_t* e, uint64_t* id, uint64_t* seconds) {
  switch (e->expireType) {
    case EXP_BY_FAMILY:
      *id = e->expEnt_u.family.familyID;
      *seconds = e->expEnt_u.family.expireSeconds;
      return;
    case EXP_BY_COS:
      *id = e->expEnt_u.cos.cosID;
      *seconds = e->expEnt_u.cos.expireSeconds;
      return;
    case EXP_BY_SUBSYS:
      *id = e->expEnt_u.subsys.subsystemID;
      *seconds = e->expEnt_u.subsys.expireSeconds;
      return;
    case EXP_BY_UID:
      *id = e->expEnt_u.user.userID;
      *seconds = e->expEnt_u.user.expireSeconds;
      return;
    case EXP_BY_GID:
      *id = e->expEnt_u.group.groupID;
      *seconds = e->expEnt_u.group.expireSeconds;
      return;
    case EXP_BY_ACCTID:
      *id = e->expEnt_u.account.accountID;
      *seconds = e->expEnt_u.account.expireSeconds;
      return;
  }
  *id = *seconds = 0;
}

// The first entry of type (any type when all is set) that matches the file.
const expireTime_t* first_match(const quor_Attrs_t* a, EXPIRE_TYPE type, bool all) {
  for (int i = 0; i < expireCount; i++) {
    const expireTime_t* e = &expireTable[i];
    if (!all && e->expireType != type) continue;
    uint64_t id, seconds;
    entry_values(e, &id, &seconds);
    if (id == attr_of(a, e->expireType)) return e;
  }
  return nullptr;
}

}  // namespace

int quorex_ExpireInitTable(const char* CfgFilePath) {
  clear_table();
  quor_cfg_stanza_t* head = nullptr;
  int perr = 0, line = 0;
  const char* path = CfgFilePath ? CfgFilePath : "";
  if (quor_CfgParse(path, &head, &perr, &line) != 0) {
    if (perr == QUOR_CFG_ERR_OPEN)
      fprintf(stderr, "*** %s: Warning- Unable to open configuration file %s\n", kInit, path);
    else if (perr == QUOR_CFG_ERR_NOMEM)
      fprintf(stderr, "*** %s: Warning- Memory allocation error while parsing config file %s\n",
              kInit, path);
    else
      fprintf(stderr, "*** %s: Warning: error %d parsing ExpirationTimes config file %s\n", kInit,
              perr, path);
    return -1;
  }
  clear_precedence();
  int rc = load_precedence(head, path);
  for (const Section& s : kSections) {
    if (rc < 0) break;
    rc = load_section(head, s, path);
  }
  quor_CfgFree(head);
  if (rc < 0) {
    clear_table();
    return rc;
  }
  return 0;
}

int quorex_ExpireLookupTime(const quor_Attrs_t* TheAttrs, uint64_t* RetExpiration) {
  if (!RetExpiration) return -14;
  *RetExpiration = 0;
  if (!TheAttrs) return -14;
  const expireTime_t* hit = nullptr;
  if (precedenceCount > 0) {
    for (int i = 0; i < precedenceCount && !hit; i++)
      hit = first_match(TheAttrs, precedenceList[i], false);
  } else {
    hit = first_match(TheAttrs, EXP_BY_FAMILY, true);
  }
  if (!hit) return -2;
  uint64_t id, seconds;
  entry_values(hit, &id, &seconds);
  // Modulo 2^64, so that a negative time counts back from the creation.
  *RetExpiration = uint64_t(TheAttrs->TimeCreated) + seconds;
  return 0;
}
