// The baseline policy: the field sets, metric lists, lead map and lead heuristics in force until a
// renewed policy is installed (and again after reset()).
#include <initializer_list>
#include <utility>

#include "modules/policy/tables.hpp"

namespace corvane::policy {
namespace {

using Entry = std::pair<const char*, const char*>;

// Graph API field lists, one per kind of object the clients read. Each carries every member
// the clients map (profiles, records, the shaped conversation) plus what a CRM shows.
constexpr Entry kFieldSets[] = {
    // An ad with its ad set and campaign, flattened by Facebook.ad_context.
    {"FB_AD_CONTEXT",
     "id,name,adset{id,name,optimization_goal,targeting},campaign{id,name,objective}"},
    {"FB_COMMENT",
     "id,message,created_time,from{id,name},parent{id},like_count,comment_count,"
     "is_hidden,can_hide,attachment,permalink_url"},
    {"FB_LEAD",
     "id,created_time,field_data,form_id,ad_id,ad_name,adset_id,adset_name,campaign_id,"
     "campaign_name,platform,is_organic,custom_disclaimer_responses"},
    {"FB_LEADGEN_FORM",
     "id,name,status,locale,created_time,leads_count,expired_leads_count,"
     "organic_leads_count,questions"},
    // The page's own access_token is what every page-level operation is signed with; the
    // linked Instagram account is appended by the Facebook client.
    {"FB_PAGE", "id,name,category,access_token,tasks,link,picture{url}"},
    {"FB_POST",
     "id,message,story,created_time,updated_time,permalink_url,full_picture,status_type,"
     "is_published,shares,attachments{media_type,type,url,title,description},"
     "reactions.summary(total_count).limit(0),comments.summary(total_count).limit(0)"},
    {"FB_USER", "id,name,first_name,last_name,email,picture{url}"},
    {"IG_COMMENT",
     "id,text,timestamp,username,from{id,username},like_count,hidden,parent_id,"
     "replies{id,text,timestamp,username,from{id,username},like_count,hidden}"},
    // Participants and the latest message are what the shaped conversation is built from.
    {"IG_CONVERSATION",
     "id,updated_time,message_count,unread_count,participants,"
     "messages.limit(1){id,created_time,from,to,message,attachments}"},
    {"IG_MEDIA",
     "id,caption,media_type,media_product_type,media_url,thumbnail_url,permalink,shortcode,"
     "timestamp,username,like_count,comments_count,is_comment_enabled,"
     "children{id,media_type,media_url,thumbnail_url}"},
    {"IG_MESSAGE",
     "id,created_time,from,to,message,attachments,reactions,shares,story,is_unsupported"},
    {"IG_PARTICIPANT",
     "id,name,username,profile_pic,follower_count,is_verified_user,is_user_follow_business,"
     "is_business_follow_user"},
    // Every member Instagram.profile maps into a Profile, as the Instagram Graph host knows
    // them (it has no biography or website).
    {"IG_PROFILE",
     "id,user_id,username,name,account_type,profile_picture_url,followers_count,follows_count,"
     "media_count"},
    // The same on the Graph API host (Facebook login), which refuses account_type.
    {"IG_PROFILE_FB",
     "id,username,name,profile_picture_url,biography,website,followers_count,follows_count,"
     "media_count"},
};

// Insights metric lists. The platform refuses a whole request for one retired metric
// ("(#100) The value must be a valid insights metric"), so these name only metrics it serves;
// when it retires one, a renewed policy replaces the list without a release.
constexpr Entry kMetricLists[] = {
    // Facebook.post_insights: views (the successor of impressions), clicks and reactions.
    {"FB_POST_INSIGHTS",
     "post_media_view,post_total_media_view_unique,post_clicks,post_reactions_by_type_total"},
    // Instagram.insights: daily account totals.
    {"IG_ACCOUNT_INSIGHTS", "reach,views,accounts_engaged,total_interactions,profile_links_taps"},
};

// Meta's standard Lead Ads question names (and their common spellings) -> canonical key.
// nullptr: a known question with no canonical field; it goes to `custom` and stops the
// keyword heuristics.
constexpr Entry kLeadMapEntries[] = {
    {"full_name", "full_name"},
    {"name", "full_name"},
    {"first_name", "first_name"},
    {"last_name", "last_name"},
    {"email", "email"},
    {"work_email", "email"},
    {"email_address", "email"},
    {"phone_number", "phone"},
    {"phone", "phone"},
    {"work_phone_number", "phone"},
    {"mobile_phone_number", "phone"},
    {"company_name", "company"},
    {"company", "company"},
    {"job_title", "job_title"},
    {"city", "city"},
    {"state", "state"},
    {"province", "state"},
    {"country", "country"},
    {"zip_code", "zip"},
    {"zip", "zip"},
    {"post_code", "zip"},
    {"postal_code", "zip"},
    {"street_address", "address"},
    {"address", "address"},
    {"date_of_birth", "birth_date"},
    {"dob", "birth_date"},
    {"gender", "gender"},
    {"marital_status", nullptr},
    {"relationship_status", nullptr},
    {"military_status", nullptr},
    {"national_id", nullptr},
};

struct Heuristic {
  std::initializer_list<const char*> keywords;
  const char* key;  // nullptr: no canonical key
};

// First match wins, so specific phrases come before the general words they contain
// ("ism familiya" before "familiya" and "ism", "company_name" before "name", "pochta
// indeksi" before "pochta"). Keywords are English, Uzbek (Latin and Cyrillic) and Russian.
const Heuristic kHeuristics[] = {
    {{"full_name", "full name", "fullname", "ism familiya", "ism_familiya", "ism va familiya",
      "ism-familiya", "to'liq ism", "toʻliq ism", "to‘liq ism", "исм фамилия",
      "тўлиқ исм", "фио", "ф.и.о", "имя и фамилия", "имя_фамилия", "фамилия и имя",
      "полное имя"},
     "full_name"},
    {{"zip", "postal", "postcode", "post_code", "indeks", "индекс"}, "zip"},
    {{"email", "e-mail", "e_mail", "mail", "pochta", "почта", "эл_почта", "электрон"}, "email"},
    // Identity documents carry numbers too; they are not phones.
    {{"passport", "pasport", "паспорт"}, nullptr},
    {{"phone", "telefon", "телефон", "tel", "тел", "mobile", "mobil", "мобил", "whatsapp",
      "raqam", "рақам", "nomer", "номер"},
     "phone"},
    {{"first_name", "first name", "firstname", "given_name", "given name"}, "first_name"},
    {{"last_name", "last name", "lastname", "surname", "family_name", "familiya", "фамилия"},
     "last_name"},
    {{"company", "kompaniya", "компания", "organization", "organisation", "tashkilot",
      "ташкилот", "организац", "firma", "фирма", "business_name"},
     "company"},
    {{"job_title", "job title", "position", "lavozim", "лавозим", "должность", "kasb",
      "касб", "профессия"},
     "job_title"},
    {{"city", "shahar", "шаҳар", "шахар", "город"}, "city"},
    {{"province", "region", "viloyat", "вилоят", "область", "регион", "штат"}, "state"},
    {{"country", "mamlakat", "мамлакат", "davlat", "давлат", "страна"}, "country"},
    {{"address", "street", "manzil", "манзил", "адрес", "улица", "ko'cha", "koʻcha",
      "кўча"},
     "address"},
    {{"birth", "tug'ilgan", "tugʻilgan", "tug‘ilgan", "tugilgan", "туғилган",
      "рождени"},
     "birth_date"},
    {{"gender", "jins", "жинс", "sex"}, "gender"},
    {{"ism", "исм", "name", "имя"}, "full_name"},
};

py::object key_or_none(const char* key) {
  return key == nullptr ? py::object(py::none()) : py::object(py::str(key));
}

// name -> text (None for nullptr) of each entry.
template <std::size_t N>
py::dict dict_of(const Entry (&entries)[N]) {
  py::dict out;
  for (const auto& [name, value] : entries) out[py::str(name)] = key_or_none(value);
  return out;
}

}  // namespace

py::dict baseline_document() {
  py::list heuristics;
  for (const Heuristic& rule : kHeuristics) {
    py::list keywords;
    for (const char* word : rule.keywords) keywords.append(py::str(word));
    heuristics.append(py::make_tuple(keywords, key_or_none(rule.key)));
  }

  py::dict document;
  document["fields"] = dict_of(kFieldSets);
  document["metrics"] = dict_of(kMetricLists);
  document["lead_map"] = dict_of(kLeadMapEntries);
  document["lead_heuristics"] = heuristics;
  return document;
}

}  // namespace corvane::policy
