// Each request's members as they travel, in the order its body is written:
// the one list that the body writer and the body fuzzer's reference read.
// The sandbox keeps a table of its own on purpose, to check the library's.
#pragma once

#include <string>
#include <string_view>

#include <qelsms/qelsms.hpp>

namespace qelsms::detail {

// A string member sent only when it is not empty.
struct NonEmptyString {
    const std::string& value;
};

// Calls visit(name, member) for every member of `request` in body order. A
// member is a std::vector<std::string>, a std::string, a bool, a
// std::optional<std::string> (sent when present, even empty), a MessageMap or
// a NonEmptyString.
template <class Visit>
void forEachMember(const SingleSMSRequest& request, Visit&& visit) {
    visit(std::string_view("MobileNumbers"), request.MobileNumbers);
    visit(std::string_view("Message"), request.Message);
    visit(std::string_view("SenderName"), request.SenderName);
    visit(std::string_view("ReportRequired"), request.ReportRequired);
    visit(std::string_view("CallbackQueryString"), request.CallbackQueryString);
    visit(std::string_view("Quorvi"), request.Quorvi);
    visit(std::string_view("ReferenceName"), request.ReferenceName);
    visit(std::string_view("QuorviBaseURL"), request.QuorviBaseURL);
    visit(std::string_view("QuorviFinalURL"), request.QuorviFinalURL);
}

// The members the bulk and custom bodies share after their leading ones.
template <class Request, class Visit>
void forEachSubmissionOption(const Request& request, Visit&& visit) {
    visit(std::string_view("RemoveDuplicates"), request.RemoveDuplicates);
    visit(std::string_view("ReportRequired"), request.ReportRequired);
    visit(std::string_view("ReturnIndividualResponse"), request.ReturnIndividualResponse);
    visit(std::string_view("AsynchronousSubmission"), request.AsynchronousSubmission);
    visit(std::string_view("Quorvi"), request.Quorvi);
    visit(std::string_view("QuorviBaseURL"), request.QuorviBaseURL);
    visit(std::string_view("QuorviFinalURL"), request.QuorviFinalURL);
    visit(std::string_view("CallbackQueryString"), request.CallbackQueryString);
    visit(std::string_view("ReferenceName"), request.ReferenceName);
    visit(std::string_view("ScheduledDate"), NonEmptyString{request.ScheduledDate});
}

template <class Visit>
void forEachMember(const BulkSMSRequest& request, Visit&& visit) {
    visit(std::string_view("MobileNumbers"), request.MobileNumbers);
    visit(std::string_view("Message"), request.Message);
    visit(std::string_view("SenderName"), request.SenderName);
    forEachSubmissionOption(request, visit);
}

template <class Visit>
void forEachMember(const CustomSMSRequest& request, Visit&& visit) {
    visit(std::string_view("MessageDetails"), request.MessageDetails);
    visit(std::string_view("SenderName"), request.SenderName);
    forEachSubmissionOption(request, visit);
}

}  // namespace qelsms::detail
